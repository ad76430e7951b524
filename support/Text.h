// Text helpers of the tree's programs: printf into a string, and the items
// of a comma-separated list.
#ifndef TARVEX_SUPPORT_TEXT_H
#define TARVEX_SUPPORT_TEXT_H

#include <string>
#include <vector>

namespace tt {

// printf into a std::string, of any length.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The items of "a,b,c" in order, empty ones included: "" is one empty item,
// "a,,b" three.
std::vector<std::string> split_list(const std::string& text);

}  // namespace tt

#endif
