// The system log and the update log, as the tests read them.
//
// A log pattern is a record's exact text in which "{L}" stands for a source
// line number and "{*}" for any text (line ends too); every other character
// stands for itself.
#pragma once

#include <string>
#include <vector>

namespace vakotest {

// The system log as the stand-in on /dev/log wrote it.  Every record sent
// before the call (by this process or any other) is in the result.
struct SyslogLine {
    int level;
    std::string text;
    bool operator==(const SyslogLine &) const = default;
};
std::vector<SyslogLine> SyslogLines();
std::vector<std::string> SyslogTexts();
// One record's text is exactly text.
bool SyslogHas(const std::string &text);
// Forgets the records sent so far.
void SyslogClear();

inline constexpr int kAnyLevel = -1;
// Records (at `level`, or at any) whose text matches the log pattern whole.
int SyslogCount(const std::string &pattern, int level = kAnyLevel);
bool SyslogMatches(const std::string &pattern, int level = kAnyLevel);

// True when text matches the log pattern whole.
bool LogPatternMatches(const std::string &pattern, const std::string &text);
// True when text matches the regular expression (ECMAScript) whole: the
// kit's one instance of <regex>, which takes seconds to compile in each
// file that includes it.
bool RegexMatches(const std::string &text, const std::string &regex);

// The texts of the records that begin with prefix, in order.
std::vector<std::string> SyslogTextsFrom(const std::string &prefix);
// Empty when the records that begin with prefix match the log patterns one
// by one and are as many; else a description of the first difference.
std::string SyslogMismatch(const std::string &prefix, const std::vector<std::string> &patterns);

// The update log, line by line: each line's time stamp "YYYY/MM/DD hh:mm:ss"
// and the text after it and its tab.  A line without its stamp (or without
// its line end) has an empty stamp and is its text whole.  No log: no lines.
struct UpdateLogLine {
    std::string stamp, text;
};
std::vector<UpdateLogLine> UpdateLogLines();
// The texts of the update log's lines; a line without its stamp comes back
// behind "unstamped: ", so that it fails any comparison.
std::vector<std::string> UpdateLogTexts();
// A line of the update log matches the log pattern.
bool UpdateLogHas(const std::string &pattern);

} // namespace vakotest
