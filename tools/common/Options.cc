#include "Options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Tarvex.h"

namespace tvt {

namespace {

// Decimal digits without a leading zero (a lone "0" is fine), at most
// ULLONG_MAX; false for anything else.
bool parse_digits(const std::string& text, unsigned long long& value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (v > (std::numeric_limits<unsigned long long>::max() - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

// The byte-count suffixes, largest last.
struct Unit {
    char letter;
    unsigned long long factor;
};
const Unit kUnits[] = {{'K', 1ull << 10}, {'M', 1ull << 20}, {'G', 1ull << 30}};

// `n` bytes the short way when it is a whole number of a unit: 64K, 1G.
std::string short_bytes(unsigned long long n) {
    for (auto u = std::rbegin(kUnits); u != std::rend(kUnits); ++u)
        if (n >= u->factor && n % u->factor == 0) return std::to_string(n / u->factor) + u->letter;
    return std::to_string(n);
}

std::string short_number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

}  // namespace

bool parse_decimal(const std::string& text, long long min, long long max, long long& value) {
    const bool negative = !text.empty() && text[0] == '-';
    unsigned long long magnitude = 0;
    if (!parse_digits(negative ? text.substr(1) : text, magnitude)) return false;
    if (negative && magnitude == 0) return false;  // "-0"
    const unsigned long long limit = negative
                                         ? static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1
                                         : static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    if (magnitude > limit) return false;
    const long long v = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    if (v < min || v > max) return false;
    value = v;
    return true;
}

bool split_host_port(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    long long p = 0;
    if (colon == std::string::npos || !parse_decimal(text.substr(colon + 1), 1, 65535, p)) return false;
    host = colon == 0 ? "127.0.0.1" : text.substr(0, colon);
    port = static_cast<int>(p);
    return true;
}

Options::Options(const char* program, const char* usage, const char* about, std::vector<OptionDef> table)
    : program_(program), usage_(usage), about_(about), table_(std::move(table)) {}

const OptionDef* Options::find(const std::string& name) const {
    for (const OptionDef& s : table_)
        if (name == s.name) return &s;
    return nullptr;
}

void Options::print_help() const {
    std::printf("usage: %s %s\n\n%s\n\noptions:\n", program_, usage_, about_);
    for (const OptionDef& s : table_) {
        std::string left = std::string("--") + s.name + (s.arg ? std::string(" ") + s.arg : "");
        std::printf("  %-22s %s\n", left.c_str(), s.help);
    }
    std::printf("  %-22s %s\n", "--help", "print this text and exit");
    std::printf("  %-22s %s\n", "--version", "print the version and exit");
}

void Options::print_version() const { std::printf("%s (Tarvex) %s\n", program_, tarvex_version()); }

void Options::fail(const std::string& message) const {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\nusage: %s %s\n(--help for details)\n", program_, message.c_str(), program_, usage_);
    std::exit(2);
}

void Options::refuse(const char* name, const std::string& wanted) const {
    fail("--" + std::string(name) + " wants " + wanted + ", not '" + values_.at(name) + "'");
}

void Options::parse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            print_help();
            std::exit(0);
        }
        if (word == "--version") {
            print_version();
            std::exit(0);
        }
        if (word.compare(0, 2, "--") != 0) fail("unexpected argument '" + word + "'");
        std::string name = word.substr(2);
        std::string value;
        bool inline_value = false;
        if (size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inline_value = true;
        }
        const OptionDef* def = find(name);
        if (!def) fail("unknown option --" + name);
        if (def->arg && !inline_value) {
            if (i + 1 >= argc) fail("--" + name + " needs a value (" + def->arg + ")");
            value = argv[++i];
        } else if (!def->arg && inline_value) {
            fail("--" + name + " takes no value");
        }
        values_[name] = value;
    }
}

bool Options::has(const char* name) const { return values_.count(name) != 0; }

std::string Options::text(const char* name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

long long Options::integer(const char* name, long long fallback, long long min, long long max) const {
    if (!has(name)) return fallback;
    long long n = 0;
    if (!parse_decimal(values_.at(name), min, max, n)) {
        const bool open_ended = max == std::numeric_limits<long long>::max();
        refuse(name, "a whole number " +
                         (open_ended ? "of at least " + std::to_string(min)
                                     : "from " + std::to_string(min) + " to " + std::to_string(max)) +
                         " (decimal)");
    }
    return n;
}

double Options::number(const char* name, double fallback, double min, double max) const {
    if (!has(name)) return fallback;
    const std::string& v = values_.at(name);
    char* end = nullptr;
    const double n = std::strtod(v.c_str(), &end);
    // Only plain decimal numbers: no hex floats, infinity or NaN.
    const bool plain = v.find_first_not_of("0123456789.-+eE") == std::string::npos;
    if (v.empty() || *end != '\0' || !plain || !std::isfinite(n) || n < min || n > max)
        refuse(name, "a number from " + short_number(min) + " to " + short_number(max));
    return n;
}

unsigned long long Options::bytes(const char* name, unsigned long long fallback, unsigned long long min,
                                  unsigned long long max) const {
    if (!has(name)) return fallback;
    std::string digits = values_.at(name);
    unsigned long long unit = 1;
    for (const Unit& u : kUnits)
        if (!digits.empty() && (digits.back() == u.letter || digits.back() == u.letter + ('a' - 'A'))) {
            unit = u.factor;
            digits.pop_back();
            break;
        }
    unsigned long long n = 0;
    const bool read = parse_digits(digits, n);
    const bool fits = read && n <= std::numeric_limits<unsigned long long>::max() / unit;
    if (!fits || n * unit < min || n * unit > max)
        refuse(name, "a byte count from " + short_bytes(min) + " to " + short_bytes(max) +
                         " (decimal, with K, M or G for 1024, 1024^2, 1024^3)");
    return n * unit;
}

int Options::port(const char* name, int fallback, bool zero_allowed) const {
    if (!has(name)) return fallback;
    long long p = 0;
    if (!parse_decimal(values_.at(name), zero_allowed ? 0 : 1, 65535, p))
        refuse(name, std::string("a port from ") + (zero_allowed ? "0 (a free one)" : "1") + " to 65535 (decimal)");
    return static_cast<int>(p);
}

void Options::host_port(const char* name, const std::string& fallback, std::string& host, int& port) const {
    if (!split_host_port(text(name, fallback), host, port))
        refuse(name, "HOST:PORT with a port from 1 to 65535 (decimal)");
}

void Options::exclusive(const char* a, const char* b) const {
    if (has(a) && has(b)) fail("--" + std::string(a) + " and --" + b + " exclude each other");
}

void Options::only_if(const char* option, bool allowed, const char* rule) const {
    if (has(option) && !allowed) fail("--" + std::string(option) + " applies " + rule);
}

}  // namespace tvt
