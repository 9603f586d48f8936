// The mails that the SMTP library's stand-in (/lib/libvakosmtp.so,
// appliance/standins/smtp/vakosmtp.cpp) was given, and its knobs.
// Header only.
#pragma once

#include <errno.h>
#include <sys/wait.h>

#include <optional>
#include <string>
#include <vector>

#include "vakotest/testkit.h"

namespace vakotest::smtp {

constexpr const char *kMails = "/.sandbox/smtp/mails";
constexpr const char *kFail = "/.sandbox/smtp/fail";
constexpr const char *kRelay = "/.sandbox/smtp/relay";

using Text = std::optional<std::string>; // nullopt: a NULL field

struct Address {
    Text name, addr;
    bool operator==(const Address &) const = default;
};

struct Mail {
    Text server;
    int port = 0, auth = 0, ssl = 0;
    Text user, passwd;
    std::vector<Address> from, to;
    std::string reserved;
    Text subject, header, body;
};

inline Text Unescape(const std::string &v)
{
    if (v == "\\N")
        return std::nullopt;
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '\\' && i + 1 < v.size()) {
            char c = v[++i];
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
        } else {
            out += v[i];
        }
    }
    return out;
}

// Every mail recorded so far, in the order they were given.
inline std::vector<Mail> Sent()
{
    std::vector<Mail> mails;
    if (!FileExists(kMails))
        return mails;
    std::string all = ReadFile(kMails);
    size_t at = 0;
    while (at < all.size()) {
        size_t eol = all.find('\n', at);
        std::string line = all.substr(at, eol - at);
        at = eol == std::string::npos ? all.size() : eol + 1;
        size_t sp = line.find(' ');
        std::string key = line.substr(0, sp), value = sp == std::string::npos ? "" : line.substr(sp + 1);
        if (key == "mail") {
            mails.emplace_back();
            continue;
        }
        if (mails.empty() || key == "end")
            continue;
        Mail &m = mails.back();
        if (key == "server")
            m.server = Unescape(value);
        else if (key == "port")
            m.port = std::stoi(value);
        else if (key == "auth")
            m.auth = std::stoi(value);
        else if (key == "ssl")
            m.ssl = std::stoi(value);
        else if (key == "user")
            m.user = Unescape(value);
        else if (key == "passwd")
            m.passwd = Unescape(value);
        else if (key == "from")
            m.from.push_back({Unescape(value), std::nullopt});
        else if (key == "from-addr" && !m.from.empty())
            m.from.back().addr = Unescape(value);
        else if (key == "to")
            m.to.push_back({Unescape(value), std::nullopt});
        else if (key == "to-addr" && !m.to.empty())
            m.to.back().addr = Unescape(value);
        else if (key == "reserved")
            m.reserved = value;
        else if (key == "subject")
            m.subject = Unescape(value);
        else if (key == "header")
            m.header = Unescape(value);
        else if (key == "body")
            m.body = Unescape(value);
    }
    return mails;
}

// The next send fails with this text given to the error callback.
inline void FailWith(const std::string &text) { WriteFile(kFail, text); }

// Waits for every child of this process (the mail senders among them).
inline void WaitForSenders()
{
    int st;
    while (waitpid(-1, &st, 0) > 0 || errno == EINTR) {
    }
}

} // namespace vakotest::smtp
