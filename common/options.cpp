// options.cpp - "|"-separated option strings for the lower libraries. Every
// allocation is checked: when memory runs out the list stays as it was.
#include "log_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kNumberRoom = 32;

// A heap copy of a followed by b (b may be empty), or nullptr.
char *concat(const char *a, const char *separator, const char *b)
{
    size_t la = std::strlen(a);
    size_t ls = std::strlen(separator);
    size_t lb = std::strlen(b);
    char *joined = static_cast<char *>(std::malloc(la + ls + lb + 1));
    if (joined == nullptr)
        return nullptr;
    std::memcpy(joined, a, la);
    std::memcpy(joined + la, separator, ls);
    std::memcpy(joined + la + ls, b, lb + 1);
    return joined;
}

}  // namespace

extern "C" void OptionAppend(char **list, const char *text)
{
    if (list == nullptr || text == nullptr || text[0] == '\0')
        return;
    const bool empty = *list == nullptr || (*list)[0] == '\0';
    char *joined = empty ? concat(text, "", "") : concat(*list, "|", text);
    if (joined == nullptr)
        return;
    std::free(*list);
    *list = joined;
}

extern "C" void OptionAppendPair(char **list, const char *key, const char *value)
{
    if (key == nullptr || key[0] == '\0' || value == nullptr || value[0] == '\0')
        return;
    char *entry = concat(key, "", value);
    if (entry == nullptr)
        return;
    OptionAppend(list, entry);
    std::free(entry);
}

extern "C" void OptionAppendNumber(char **list, const char *key, uint32_t number)
{
    if (key == nullptr || key[0] == '\0')
        return;
    size_t size = std::strlen(key) + kNumberRoom;
    char *entry = static_cast<char *>(std::malloc(size));
    if (entry == nullptr)
        return;
    std::snprintf(entry, size, "%s%u", key, number);
    OptionAppend(list, entry);
    std::free(entry);
}
