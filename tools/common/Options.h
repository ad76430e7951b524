// Command-line options of the tools: one table of options per program,
// "--name value" or "--name=value", "--help" printing the table, "--version"
// printing the version of the library.
//
// Values are checked strictly, and a bad one ends the program with exit
// status 2 and a message that names the option, the accepted range and the
// text given: whole numbers and byte counts are decimal (no sign where none
// is allowed, no leading zero, which elsewhere would mean octal, no hex),
// within their range and without overflow.
#ifndef TARVEX_TOOLS_OPTIONS_H
#define TARVEX_TOOLS_OPTIONS_H

#include <limits>
#include <map>
#include <string>
#include <vector>

namespace tvt {

struct OptionDef {
    const char* name;  // without the leading "--"
    const char* arg;   // name of the value, or nullptr for a switch
    const char* help;
};

class Options {
public:
    // `usage` is the synopsis line, `about` a paragraph printed under it by --help.
    Options(const char* program, const char* usage, const char* about, std::vector<OptionDef> table);

    // Parses argv.  --help prints the help text and --version the version,
    // and both end the process with 0; an unknown option, a missing value or
    // a stray argument prints the problem and the synopsis and ends the
    // process with 2.
    void parse(int argc, char** argv);

    bool has(const char* name) const;
    std::string text(const char* name, const std::string& fallback) const;
    // A decimal whole number from `min` to `max`.
    long long integer(const char* name, long long fallback, long long min = std::numeric_limits<long long>::min(),
                      long long max = std::numeric_limits<long long>::max()) const;
    // A finite number from `min` to `max`.
    double number(const char* name, double fallback, double min = -std::numeric_limits<double>::max(),
                  double max = std::numeric_limits<double>::max()) const;
    // A byte count with an optional K, M or G suffix (powers of 1024), from
    // `min` to `max` bytes.
    unsigned long long bytes(const char* name, unsigned long long fallback, unsigned long long min = 0,
                             unsigned long long max = std::numeric_limits<unsigned long long>::max()) const;
    // A TCP port, 1 to 65535; 0 as well when `zero_allowed` (a free port).
    int port(const char* name, int fallback, bool zero_allowed) const;
    // "HOST:PORT" (":PORT" for 127.0.0.1) with a port from 1 to 65535.
    void host_port(const char* name, const std::string& fallback, std::string& host, int& port) const;

    // Refuses `a` and `b` together.
    void exclusive(const char* a, const char* b) const;
    // Refuses `option` unless `allowed`; `rule` says when it applies, as
    // the help text does ("only when listening").
    void only_if(const char* option, bool allowed, const char* rule) const;

    // Ends the process with 2 after printing "program: message" and the synopsis.
    [[noreturn]] void fail(const std::string& message) const;

private:
    const OptionDef* find(const std::string& name) const;
    void print_help() const;
    void print_version() const;
    [[noreturn]] void refuse(const char* name, const std::string& wanted) const;

    const char* program_;
    const char* usage_;
    const char* about_;
    std::vector<OptionDef> table_;
    std::map<std::string, std::string> values_;
};

// Reads a decimal whole number from `min` to `max`: an optional minus sign,
// then digits without a leading zero (a lone 0 is fine).  False for anything
// else, out of range, or too large for the type.
bool parse_decimal(const std::string& text, long long min, long long max, long long& value);

// Splits "HOST:PORT" (":PORT" for 127.0.0.1); false when the text has no
// port or the port is not a decimal number from 1 to 65535.
bool split_host_port(const std::string& text, std::string& host, int& port);

}  // namespace tvt

#endif
