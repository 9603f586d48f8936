// vako-syslogd: the appliance's system log, reduced to what the tests read.
//
// Serves the datagram socket /dev/log and appends one line per message to
// /.sandbox/syslog: "<level>\t<text>\n", level being the priority's low
// three bits, text the message without the C library's header, with '\'
// written as "\\" and a line end as "\n".  One write per record, so a
// reader never sees half a line.
//
//   vako-syslogd [--socket PATH] [--out PATH] [--ready-fd N]
// SIGTERM: the queued messages are written, then it ends.

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Die(const std::string &what)
{
    fprintf(stderr, "vako-syslogd: %s: %s\n", what.c_str(), strerror(errno));
    exit(1);
}

bool Digit(char c) { return c >= '0' && c <= '9'; }

// "Mmm dd hh:mm:ss " as the C library writes it (day padded with a blank).
bool HasTimestamp(std::string_view m)
{
    if (m.size() < 16)
        return false;
    auto at = [&](size_t i) { return m[i]; };
    return isalpha(static_cast<unsigned char>(at(0))) && isalpha(static_cast<unsigned char>(at(1))) &&
           isalpha(static_cast<unsigned char>(at(2))) && at(3) == ' ' && (at(4) == ' ' || Digit(at(4))) &&
           Digit(at(5)) && at(6) == ' ' && Digit(at(7)) && Digit(at(8)) && at(9) == ':' && Digit(at(10)) &&
           Digit(at(11)) && at(12) == ':' && Digit(at(13)) && Digit(at(14)) && at(15) == ' ';
}

// "<PRI>Mmm dd hh:mm:ss TAG[PID]: MSG" -> level and MSG.
std::string Record(std::string_view m)
{
    int pri = 13; // user.notice, what a message without a priority counts as
    if (m.size() > 2 && m[0] == '<') {
        size_t i = 1;
        int v = 0;
        while (i < m.size() && i <= 4 && Digit(m[i]))
            v = v * 10 + (m[i++] - '0');
        if (i > 1 && i < m.size() && m[i] == '>') {
            pri = v;
            m.remove_prefix(i + 1);
        }
    }
    if (HasTimestamp(m)) {
        m.remove_prefix(16);
        size_t colon = m.find(": ");
        if (colon != std::string_view::npos)
            m.remove_prefix(colon + 2);
    } else if (m.starts_with(": ")) {
        m.remove_prefix(2); // the C library's header when it has no time
    }
    std::string line;
    line.reserve(m.size() + 4);
    line += static_cast<char>('0' + (pri & 7));
    line += '\t';
    for (char c : m) {
        if (c == '\\')
            line += "\\\\";
        else if (c == '\n')
            line += "\\n";
        else
            line += c;
    }
    line += '\n';
    return line;
}

void Append(int fd, const std::string &line)
{
    ssize_t n = write(fd, line.data(), line.size());
    if (n != static_cast<ssize_t>(line.size()))
        fprintf(stderr, "vako-syslogd: record lost: %s\n", n < 0 ? strerror(errno) : "short write");
}

} // namespace

int main(int argc, char **argv)
{
    std::string sockPath = "/dev/log", outPath = "/.sandbox/syslog";
    int readyFd = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            fprintf(stderr, "usage: vako-syslogd [--socket PATH] [--out PATH] [--ready-fd N]\n");
            return 2;
        }
        if (a == "--socket")
            sockPath = argv[++i];
        else if (a == "--out")
            outPath = argv[++i];
        else if (a == "--ready-fd")
            readyFd = atoi(argv[++i]);
        else {
            fprintf(stderr, "vako-syslogd: unknown option %s\n", a.c_str());
            return 2;
        }
    }

    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigaddset(&term, SIGINT);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    int sigFd = signalfd(-1, &term, SFD_CLOEXEC);
    if (sigFd < 0)
        Die("signalfd");

    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0)
        Die("open " + outPath);

    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (sockPath.size() >= sizeof(sa.sun_path)) {
        errno = ENAMETOOLONG;
        Die(sockPath);
    }
    memcpy(sa.sun_path, sockPath.c_str(), sockPath.size() + 1);
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        Die("socket");
    unlink(sockPath.c_str());
    if (bind(sock, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0)
        Die("bind " + sockPath);
    chmod(sockPath.c_str(), 0666);

    if (readyFd >= 0) {
        char c = 'r';
        if (write(readyFd, &c, 1) != 1)
            Die("ready");
        close(readyFd);
    }

    std::vector<char> buf(256 * 1024);
    bool stopping = false;
    for (;;) {
        pollfd fds[2] = {{sock, POLLIN, 0}, {sigFd, POLLIN, 0}};
        if (!stopping && poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            Die("poll");
        }
        if (!stopping && (fds[1].revents & POLLIN))
            stopping = true;
        if (!stopping && !(fds[0].revents & POLLIN))
            continue;
        ssize_t n = recv(sock, buf.data(), buf.size(), stopping ? MSG_DONTWAIT : 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (stopping && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            Die("recv");
        }
        Append(out, Record(std::string_view(buf.data(), static_cast<size_t>(n))));
    }
    unlink(sockPath.c_str());
    return 0;
}
