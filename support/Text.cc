#include "Text.h"

#include <cstdarg>
#include <cstdio>

namespace tt {

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(&text[0], text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        if (comma == std::string::npos) {
            items.push_back(text.substr(start));
            return items;
        }
        items.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
}

}  // namespace tt
