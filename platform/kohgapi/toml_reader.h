// toml_reader.h - what every config file of the node is read with: toml++
// tables walked with unknown keys refused, and every error given as
// "FILE:LINE:COLUMN: KEY: what". Header-only, so that each reader (the node
// config here, the simulated EtherCAT master's bus files) keeps its own copy
// and the tag library exports no C++ symbols for it.
//
// A file is read whole even after an error: an error ends the entry of an
// array of tables it is in (that entry is left out), an unknown key only
// itself, and the file is refused at the end with every error, one a line.
#pragma once

#include "suggest.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>
#include <vector>

namespace ko {

// Thrown by TomlReader::error; parse_toml turns it into its message. An
// empty message ends an entry whose errors were kept already.
struct ConfigError {
    std::string message;
};

class TomlReader {
public:
    explicit TomlReader(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void error(const toml::source_region &where, const std::string &key, const std::string &what) const
    {
        throw ConfigError{message(where, key, what)};
    }

    // An error that does not end the entry being read.
    void note(const toml::source_region &where, const std::string &key, const std::string &what) const
    {
        errors_.push_back(message(where, key, what));
    }

    // Refuses keys of a table that are not in allowed, naming the closest.
    void only(const toml::table &table, const std::string &prefix, std::initializer_list<const char *> allowed) const
    {
        for (const auto &[key, node] : table) {
            bool known = false;
            for (const char *a : allowed)
                known = known || key.str() == a;
            if (!known)
                note(key.source(), prefix + std::string(key.str()),
                     "unknown key" + did_you_mean(std::string(key.str()), std::vector<std::string>(allowed.begin(), allowed.end())));
        }
    }

    // Keeps an error that ended one entry, so that reading goes on with the next.
    void keep(const ConfigError &e) const { errors_.push_back(e.message); }

    // Whether nothing was wrong so far: checks across entries run only then.
    bool clean() const { return errors_.empty(); }

    // Every error kept, one a line; "" when there was none.
    std::string all_errors() const
    {
        std::string all;
        for (const std::string &e : errors_)
            all += (all.empty() ? "" : "\n") + e;
        return all;
    }

    const toml::table &table_at(const toml::node &node, const std::string &key) const
    {
        if (const toml::table *t = node.as_table())
            return *t;
        error(node.source(), key, "expected a table");
    }

    // Calls each(table, "KEY[i].") for every table of the array of tables KEY.
    void each_table(const toml::table &root, const char *key,
                    const std::function<void(const toml::table &, const std::string &)> &each) const
    {
        const toml::node *node = root.get(key);
        if (node == nullptr)
            return;
        const auto *array = node->as_array();
        if (array == nullptr)
            error(node->source(), key, "expected [[" + std::string(key) + "]] tables");
        for (size_t i = 0; i < array->size(); ++i) {
            std::string prefix = std::string(key) + "[" + std::to_string(i) + "].";
            try {
                each(table_at((*array)[i], prefix), prefix);
            } catch (const ConfigError &e) {
                if (!e.message.empty())
                    keep(e);
            }
        }
    }

    std::string text(const toml::table &t, const std::string &prefix, const char *key, bool required,
                     size_t limit = 0, const char *limit_name = nullptr) const
    {
        const toml::node *node = t.get(key);
        if (node == nullptr) {
            if (required)
                error(t.source(), prefix + key, "missing");
            return {};
        }
        const auto *s = node->as_string();
        if (s == nullptr)
            error(node->source(), prefix + key, "expected a text");
        std::string value = s->get();
        if (required && value.empty())
            error(node->source(), prefix + key, "cannot be empty");
        if (limit != 0 && value.size() > limit)
            error(node->source(), prefix + key,
                  std::string(limit_name) + " \"" + value + "\" is " + std::to_string(value.size()) +
                      " characters; the limit is " + std::to_string(limit));
        return value;
    }

    int64_t integer(const toml::table &t, const std::string &prefix, const char *key, bool required, int64_t low,
                    int64_t high, int64_t fallback) const
    {
        const toml::node *node = t.get(key);
        if (node == nullptr) {
            if (required)
                error(t.source(), prefix + key, "missing");
            return fallback;
        }
        const auto *i = node->as_integer();
        if (i == nullptr)
            error(node->source(), prefix + key, "expected an integer");
        if (i->get() < low || i->get() > high)
            error(node->source(), prefix + key,
                  std::to_string(i->get()) + " is out of range " + std::to_string(low) + " to " + std::to_string(high));
        return i->get();
    }

    // An integer or a floating-point number within low..high.
    double number(const toml::table &t, const std::string &prefix, const char *key, double low, double high,
                  double fallback) const
    {
        const toml::node *node = t.get(key);
        if (node == nullptr)
            return fallback;
        double value = 0;
        if (const auto *i = node->as_integer())
            value = static_cast<double>(i->get());
        else if (const auto *f = node->as_floating_point())
            value = f->get();
        else
            error(node->source(), prefix + key, "expected a number");
        if (!(value >= low && value <= high)) {
            std::ostringstream out;
            out << value << " is out of range " << low << " to " << high;
            error(node->source(), prefix + key, out.str());
        }
        return value;
    }

    bool boolean(const toml::table &t, const std::string &prefix, const char *key, bool fallback) const
    {
        const toml::node *node = t.get(key);
        if (node == nullptr)
            return fallback;
        const auto *b = node->as_boolean();
        if (b == nullptr)
            error(node->source(), prefix + key, "expected true or false");
        return b->get();
    }

    const std::string &path() const { return path_; }

private:
    std::string message(const toml::source_region &where, const std::string &key, const std::string &what) const
    {
        std::ostringstream out;
        out << path_ << ":" << where.begin.line << ":" << where.begin.column << ": " << key << ": " << what;
        return out.str();
    }

    std::string path_;
    mutable std::vector<std::string> errors_;
};

// Parses text and hands the root table to read, which reads it with
// reader; false with the message of a syntax error or every error read met.
inline bool parse_toml(const std::string &text, const std::string &path, std::string &error, const TomlReader &reader,
                       const std::function<void(const toml::table &)> &read)
{
    try {
        toml::table root = toml::parse(text, path);
        read(root);
        error = reader.all_errors();
        return error.empty();
    } catch (const toml::parse_error &e) {
        std::ostringstream out;
        out << path << ":" << e.source().begin.line << ":" << e.source().begin.column << ": syntax: "
            << e.description();
        error = out.str();
    } catch (const ConfigError &e) {
        if (!e.message.empty())
            reader.keep(e);
        error = reader.all_errors();
    }
    return false;
}

// Reads a whole regular file. Not blocking: a named pipe in its place must
// not hang the reader. what names the file in messages ("node config").
inline bool read_regular_file(const std::string &path, const char *what, std::string &text, std::string &error)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + ":1:1: " + what + ": " +
                (fd < 0 ? std::string("cannot be read: ") + std::strerror(errno) : std::string("is not a regular file"));
        if (fd >= 0)
            close(fd);
        return false;
    }
    // Read straight into the text: no large buffer on the caller's stack.
    constexpr size_t kChunk = 65536;
    text.clear();
    ssize_t n;
    do {
        size_t had = text.size();
        text.resize(had + kChunk);
        n = ::read(fd, text.data() + had, kChunk);
        text.resize(had + (n > 0 ? static_cast<size_t>(n) : 0));
    } while (n > 0);
    int read_errno = errno;
    close(fd);
    if (n < 0) {
        error = path + ":1:1: " + what + ": cannot be read: " + std::strerror(read_errno);
        return false;
    }
    return true;
}

}  // namespace ko
