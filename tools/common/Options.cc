#include "Options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tvt {

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
}

void Options::fail(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\nusage: %s %s\n(--help for details)\n", program_, message.c_str(), program_, usage_);
    std::exit(2);
}

void Options::parse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            print_help();
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

long long Options::integer(const char* name, long long fallback) const {
    if (!has(name)) return fallback;
    const std::string& v = values_.at(name);
    char* end = nullptr;
    long long n = std::strtoll(v.c_str(), &end, 0);
    if (v.empty() || *end != '\0') fail("--" + std::string(name) + " wants a whole number, not '" + v + "'");
    return n;
}

double Options::number(const char* name, double fallback) const {
    if (!has(name)) return fallback;
    const std::string& v = values_.at(name);
    char* end = nullptr;
    double n = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0') fail("--" + std::string(name) + " wants a number, not '" + v + "'");
    return n;
}

unsigned long long Options::bytes(const char* name, unsigned long long fallback) const {
    if (!has(name)) return fallback;
    const std::string& v = values_.at(name);
    char* end = nullptr;
    unsigned long long n = std::strtoull(v.c_str(), &end, 0);
    unsigned long long unit = 1;
    if (*end == 'k' || *end == 'K') unit = 1ull << 10;
    if (*end == 'm' || *end == 'M') unit = 1ull << 20;
    if (*end == 'g' || *end == 'G') unit = 1ull << 30;
    if (unit != 1) ++end;
    if (v.empty() || v[0] == '-' || *end != '\0')
        fail("--" + std::string(name) + " wants a byte count such as 4096 or 64K, not '" + v + "'");
    return n * unit;
}

bool split_host_port(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size()) return false;
    char* end = nullptr;
    long p = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || p < 0 || p > 65535) return false;
    host = colon == 0 ? "127.0.0.1" : text.substr(0, colon);
    port = static_cast<int>(p);
    return true;
}

}  // namespace tvt
