// Command-line options of the tools: one table of options per program,
// "--name value" or "--name=value", "--help" printing the table.
#ifndef TARVEX_TOOLS_OPTIONS_H
#define TARVEX_TOOLS_OPTIONS_H

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

    // Parses argv.  --help prints the help text and ends the process with 0;
    // an unknown option, a missing value or a stray argument prints the
    // problem and the synopsis and ends the process with 2.
    void parse(int argc, char** argv);

    bool has(const char* name) const;
    std::string text(const char* name, const std::string& fallback) const;
    long long integer(const char* name, long long fallback) const;
    double number(const char* name, double fallback) const;
    // A byte count with an optional K, M or G suffix (powers of 1024).
    unsigned long long bytes(const char* name, unsigned long long fallback) const;

    // Ends the process with 2 after printing "program: message" and the synopsis.
    [[noreturn]] void fail(const std::string& message) const;

private:
    const OptionDef* find(const std::string& name) const;
    void print_help() const;

    const char* program_;
    const char* usage_;
    const char* about_;
    std::vector<OptionDef> table_;
    std::map<std::string, std::string> values_;
};

// Splits "HOST:PORT"; false when the text has no port.
bool split_host_port(const std::string& text, std::string& host, int& port);

}  // namespace tvt

#endif
