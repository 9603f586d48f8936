// What another user of the appliance can leave where root writes, and a
// volume with no room left: the hostile and the failing machine.
#pragma once

#include <stddef.h>

#include <string>

namespace vakotest {

// Names another user can plant at a fixed name in a shared directory such
// as /tmp, to redirect or stall the root process that writes there.
enum class Plant {
    kLinkToFile,        // a symbolic link to a file of root's
    kDanglingLink,      // a symbolic link to a file that root would create
    kFullFifo,          // a FIFO kept full: a write to it blocks
    kFileOfAnotherUser, // a regular file of user 1000
    kSecondLinkOfFile,  // a hard link to a file of root's
};
inline constexpr Plant kEveryPlant[] = {Plant::kLinkToFile, Plant::kDanglingLink, Plant::kFullFifo,
                                        Plant::kFileOfAnotherUser, Plant::kSecondLinkOfFile};
const char *PlantName(Plant plant);
// How the libraries name what stands at the name when they refuse it:
// "a symbolic link", "not a regular file", "owned by uid 1000", "linked 2 times".
const char *RefusalText(Plant plant);

// Leaves `plant` at path (replacing what is there) while it lives.  The
// files it points at lie in victimDir: "victim", root's, holding
// "victim\n", and "created", missing.  The FIFO stays full while this lives.
class Planted {
public:
    Planted(Plant plant, const std::string &path, const std::string &victimDir = "/tmp/victims");
    ~Planted();
    Planted(const Planted &) = delete;
    Planted &operator=(const Planted &) = delete;
    // True when "victim" is unchanged and "created" still missing.
    bool VictimsUntouched() const;
    // The content a file of another user was planted with.
    static constexpr const char *kForeignContent = "foreign=\"1\"\n";

private:
    std::string victimDir_;
    int fifo_ = -1;
};

// Mounts a fresh tmpfs of `bytes` (a whole number of pages) over dir,
// creating dir: a volume that a larger file does not fit.
void MountSmallVolume(const std::string &dir, size_t bytes);
// Fills the file system of dir to its last byte with a file "fill" in dir.
void FillVolume(const std::string &dir);

} // namespace vakotest
