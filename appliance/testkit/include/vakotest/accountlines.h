// The lines of the account and group text files as the tests make and
// compare them: lines put in, CRLF, a missing last line feed, NUL bytes,
// and a comparison line for line that lets the lines a change touched
// match their patterns.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vakotest/logs.h"

namespace accountroundtrip {

// The six text files of the account and group families.
enum class File { kPasswd, kShadow, kVakoUserConf, kSmbPasswd, kGroup, kGroupDesc };

// A line the change rewrites: in file, the line that stood as before (its
// bytes, line end included) is now after, a log pattern of the line as the
// operation writes it, line end included ("{*}" for a day or a time).
struct Touched {
    File file;
    std::string before, after;
};

// The lines of a text, each with its line end (the last may have none).
inline std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

// The first line of text that begins with prefix, line end included ("" when none).
inline std::string LineOf(const std::string &text, const std::string &prefix)
{
    for (const std::string &l : Lines(text))
        if (l.starts_with(prefix))
            return l;
    return "";
}

// A line (its line end dropped) with field i (at ':') replaced, as a line
// that ends in "\n".
inline std::string WithField(std::string line, size_t i, const std::string &value)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    std::vector<std::string> fields;
    for (size_t at = 0;;) {
        size_t colon = line.find(':', at);
        fields.push_back(line.substr(at, colon == std::string::npos ? colon : colon - at));
        if (colon == std::string::npos)
            break;
        at = colon + 1;
    }
    fields.at(i) = value;
    std::string out;
    for (size_t f = 0; f < fields.size(); f++)
        out += (f ? ":" : "") + fields[f];
    return out + "\n";
}

// Text with line put before its first line that begins with prefix (at
// the end when none does, or prefix is empty).
inline std::string Inserted(const std::string &text, const std::string &prefix, const std::string &line)
{
    std::string before = prefix.empty() ? "" : LineOf(text, prefix);
    size_t at = before.empty() ? text.size() : text.find(before);
    return text.substr(0, at) + line + text.substr(at);
}

// a, a NUL byte, b.
inline std::string WithNul(const std::string &a, const std::string &b) { return a + '\0' + b; }

// Text whose lines end in "\r\n".
inline std::string Crlf(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// Text without its last line feed.
inline std::string WithoutLastNewline(std::string text)
{
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// "" when now is before with each touched line (before -> after pattern)
// in its place and every other line byte for byte as it was; else the
// first difference.
inline std::string Mismatch(const std::string &before, const std::vector<const Touched *> &touched,
                            const std::string &now)
{
    std::vector<std::string> was = Lines(before), is = Lines(now);
    std::vector<const std::string *> pattern(was.size(), nullptr);
    for (const Touched *t : touched) {
        size_t found = was.size();
        for (size_t i = 0; i < was.size(); i++)
            if (was[i] == t->before && !pattern[i])
                found = i;
        if (found == was.size())
            return "no line " + testing::PrintToString(t->before) + " before the change";
        pattern[found] = &t->after;
    }
    for (size_t i = 0; i < was.size() && i < is.size(); i++) {
        bool same = pattern[i] ? vakotest::LogPatternMatches(*pattern[i], is[i]) : is[i] == was[i];
        if (!same)
            return "line " + std::to_string(i + 1) + " is " + testing::PrintToString(is[i].substr(0, 200)) + ", was " +
                   testing::PrintToString(was[i].substr(0, 200)) +
                   (pattern[i] ? ", to match " + testing::PrintToString(*pattern[i]) : std::string());
    }
    if (was.size() != is.size())
        return std::to_string(is.size()) + " lines, were " + std::to_string(was.size());
    return "";
}

} // namespace accountroundtrip
