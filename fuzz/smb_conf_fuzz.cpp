// smb.conf: the section name of each line, cut to the room given; and the
// file through the share database, inside the throwaway appliance: built
// whatever it holds and dumped back, what it wrote holds the same shares
// and comes back unchanged from a second round.
#include "fuzz.h"
#include "vako/share.h"
#include "vako/share_db.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/paths.h"

namespace {

// The accounts and groups the shares may name.
void WriteAccounts()
{
    vakotest::WriteAccountFiles({"root:x:0:0:root:/root:/bin/sh\nalice:x:1026:100::/home/alice:/bin/sh\n"
                                 "bob:x:1027:100::/home/bob:/bin/sh\n",
                                 "root:*:15000:0:99999:7:::\nalice:*:15000:0:99999:7:::\nbob:*:15000:0:99999:7:::\n",
                                 "", ""});
    vakotest::WriteGroupFiles({"root:x:0:\nusers:x:100:\nstaff:x:65536:alice\n", "users:All\nstaff:Staff\n"});
}

// smb.conf as the build and the dump leave it; the shares of the database
// in *names. Aborts when the database cannot be made or dumped.
std::string RoundTrip(const std::string &text, std::vector<std::string> *names)
{
    vakotest::WriteFile(vakotest::kSmbConf, text);
    vakotest::RemoveFile(vakotest::kShareDb);
    VAKOSHAREDB *db = VAKOShareDBOpen();
    if (!db)
        abort();
    VAKOSHARE *share = nullptr;
    while (VAKOShareDBCursorGet(db, &share) == 0)
        names->push_back(share->szName);
    VAKOShareFree(share);
    if (VAKOShareDBDump(db) != 0)
        abort();
    VAKOShareDBClose(db);
    return vakotest::ReadFile(vakotest::kSmbConf);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vakofuzz::QuietLog();
    // The round trip writes the appliance's own files.
    if (!vakotest::InSandbox())
        abort();
    WriteAccounts();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    int room = in.ConsumeIntegralInRange<int>(1, 128);
    std::string text = in.ConsumeRemainingBytesAsString();
    // Exactly room bytes: the sanitizer sees any overrun.
    std::vector<char> out(static_cast<size_t>(room));
    for (size_t at = 0; at <= text.size();) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at + 1);
        if (VAKOShareParseSectionName(line.c_str(), out.data(), room) != 0 ||
            strlen(out.data()) >= static_cast<size_t>(room))
            abort();
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }

    std::vector<std::string> first, second;
    std::string once = RoundTrip(text, &first);
    if (RoundTrip(once, &second) != once || second != first)
        abort();
    return 0;
}
