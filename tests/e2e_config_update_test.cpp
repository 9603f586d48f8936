// The configuration update at the end of the normal flash road, end to end.
#include <gtest/gtest.h>

#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vakotest/fixture.h"
#include "vakotest/kstub.h"
#include "vakotest/testkit.h"

namespace {

namespace ks = vakotest::kstub;

constexpr uint32_t kErase = 0x10000;
constexpr uint32_t kChipSize = 0x400000;

struct Part {
    const char *name;
    uint32_t base, size;
};
// The normal layout, in FIS directory order = device order.
constexpr Part kParts[] = {
    {"RedBoot", 0x000000, 0x040000},  {"zImage", 0x040000, 0x100000},        {"rd.gz", 0x140000, 0x100000},
    {"AllLib.tgz", 0x240000, 0x180000}, {"vendor", 0x3C0000, 0x10000},       {"vakocfg", 0x3D0000, 0x10000},
    {"RedBoot Config", 0x3E0000, 0x10000}, {"FIS Directory", 0x3F0000, 0x10000},
};

// Each partition holds its own pattern; the FIS directory its entries.
ks::Chip NormalChip()
{
    ks::Chip chip{kChipSize, kErase, {}, std::vector<uint8_t>(kChipSize, 0xFF)};
    for (int i = 0; i < 8; ++i) {
        const Part &p = kParts[i];
        chip.windows.push_back({"/dev/mtd" + std::to_string(i), p.base, p.size});
        if (i == 7)
            break;
        for (uint32_t k = 0; k < p.size / 2; ++k)
            chip.image[p.base + k] = static_cast<uint8_t>((k * 7 + i * 31) >> 2);
    }
    for (int i = 0; i < 8; ++i) {
        const Part &p = kParts[i];
        std::vector<uint8_t> entry = ks::EncodeFisEntry(p.name, p.base, 0, p.size, 0, p.size / 2);
        std::copy(entry.begin(), entry.end(), chip.image.begin() + kParts[7].base + 256 * i);
    }
    return chip;
}

const std::string kCrontab = "0 3 * * * root /usr/bin/vacuumdb -a\n"
                             "10 1 * * * root /bin/rm -f /var/log/*.html\n"
                             "20 2 * * * root /usr/vako/bin/backup.sh\n";

class ConfigUpdateOnTheNormalRoad : public testing::Test {
protected:
    void Install(const std::string &installedBuild)
    {
        vakotest::Appliance appliance;
        appliance.version.Set("buildnumber", installedBuild);
        vakotest::Install(appliance);
        chip_ = NormalChip();
        ks::Install(ks::kSandboxDir, chip_, {});
        package_.images["zImage"] = std::string(0x30000, 'z');
        vakotest::Install(package_);
        vakotest::WriteFile("/etc/crontab", kCrontab);
        vakotest::SyslogClear();
    }

    void Update() { result_ = vakotest::Run({package_.UpdaterPath()}, {.cwd = "/"}); }

    ks::Chip chip_;
    vakotest::Package package_;
    vakotest::RunResult result_{};
};

TEST_F(ConfigUpdateOnTheNormalRoad, WithEveryFlagZeroStepsSixAndEightStillRun)
{
    Install("1000");
    vakotest::WriteFile("/usr/vako/etc/manutil.conf", "x\n");
    vakotest::WriteFile("/usr/vako/etc/php.ini", "x\n");
    vakotest::WriteFile("/usr/vako/etc/rc.atalk", "x\n");
    Update();

    EXPECT_EQ(result_.status, 0) << result_.err;
    EXPECT_FALSE(vakotest::FileExists("/usr/vako/etc/manutil.conf"));
    EXPECT_FALSE(vakotest::FileExists("/usr/vako/etc/php.ini"));
    EXPECT_TRUE(vakotest::FileExists("/usr/vako/etc/rc.atalk"));
    EXPECT_EQ(vakotest::ReadFile("/etc/crontab"), "20 2 * * * root /usr/vako/bin/backup.sh\n");
}

// Step 6 runs on every update; an installed build old enough for step 2
// would also start the pre-patch migrations, which are not part of this
// build, so the failing early step here is step 6.  (Step 2 failing is
// covered by the configuration update's own tests.)
TEST_F(ConfigUpdateOnTheNormalRoad, AFailingEarlyStepRollsTheFlashBackAndEndsWith17)
{
    Install("1000");
    // A directory that is not empty cannot be unlinked.
    vakotest::MakeDirs("/usr/vako/etc/manutil.conf/sub");
    vakotest::WriteFile("/usr/vako/etc/php.ini", "x\n");
    Update();

    EXPECT_EQ(result_.status, 17);
    bool fLogged = false;
    for (const std::string &text : vakotest::SyslogTexts())
        fLogged |= text.starts_with("updater:") && text.find("(UPDTUpdateConfig)") != std::string::npos &&
                   text.find("/usr/vako/etc/manutil.conf") != std::string::npos &&
                   text.ends_with("errno=(21)[Is a directory]");
    EXPECT_TRUE(fLogged);
    EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
    // The changes already made stay.
    EXPECT_FALSE(vakotest::FileExists("/usr/vako/etc/php.ini"));
    EXPECT_EQ(vakotest::ReadFile("/etc/crontab"), "20 2 * * * root /usr/vako/bin/backup.sh\n");
    EXPECT_EQ(vakotest::ReadFile("/tmp/update.progress").substr(0, 12), "C:-17:      ");
}

} // namespace
