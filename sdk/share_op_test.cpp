#include "vako/share_op.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/files.h"
#include "vakotest/lockhold.h"
#include "vakotest/paths.h"
#include "vakotest/sharedb.h"

using sharedb::kGlobal;

namespace {

const char *const kShares[] = {"data", "usbshare1", "USBShare", "usbshare1a", "usbbackup", "satashare", "satashare2"};

void WriteShares()
{
    std::string text = kGlobal;
    for (const char *name : kShares)
        text += std::string("[") + name + "]\npath=/volume1/" + name + "\n";
    sharedb::WriteFixture(text);
}

// The names VAKOShareEnum appends after one item already in the list.
std::vector<std::string> Enum(int mask, int *pResult = nullptr)
{
    PSLIBSZLIST list = PslSLIBSzListAlloc(512);
    SLIBSzListPush(&list, "first");
    int r = VAKOShareEnum(&list, mask);
    if (pResult)
        *pResult = r;
    std::vector<std::string> names;
    for (int i = 1; i < list->nItem; i++)
        names.emplace_back(SLIBSzListGet(list, i));
    SLIBSzListFree(list);
    if (r >= 0) {
        EXPECT_EQ(r, static_cast<int>(names.size()));
    }
    return names;
}

TEST(ShareEnum, KindsByName)
{
    WriteShares();
    EXPECT_EQ(Enum(2), (std::vector<std::string>{"usbbackup", "USBShare", "usbshare1"}));
    EXPECT_EQ(Enum(4), std::vector<std::string>{"satashare"});
    EXPECT_EQ(Enum(1), (std::vector<std::string>{"data", "satashare2", "usbshare1a"}));
    EXPECT_EQ(Enum(6), (std::vector<std::string>{"satashare", "usbbackup", "USBShare", "usbshare1"}));
    EXPECT_EQ(Enum(7), (std::vector<std::string>{"data", "satashare", "satashare2", "usbbackup", "USBShare",
                                                 "usbshare1", "usbshare1a"}));
    for (int mask : {0, 8, -1}) {
        SCOPED_TRACE(mask);
        int r = -2;
        EXPECT_TRUE(Enum(mask, &r).empty());
        EXPECT_EQ(r, 0);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    }
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x46));
}

TEST(ShareEnum, OnlyReservedSections)
{
    sharedb::WriteFixture(kGlobal);
    int r = -2;
    EXPECT_TRUE(Enum(7, &r).empty());
    EXPECT_EQ(r, 0);
}

TEST(ShareEnum, TheLockIsReleasedOnEveryPath)
{
    sharedb::WriteFixture();
    vakotest::RemoveFile(vakotest::kSmbConf);
    int r = 0;
    SLIBErrorSet(0);
    Enum(7, &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x46));

    sharedb::WriteFixture();
    vakotest::OtherLockHolder holder(0x46);
    SLIBErrorSet(0);
    Enum(7, &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
    EXPECT_STREQ(SLIBErrorGetFile(), "share_enum");
}

TEST(ShareEnum, AFailedReadIsNoEnd)
{
    WriteShares();
    {
        sharedb::DbPtr db = sharedb::Open();
        ASSERT_NE(db, nullptr);
        // A damaged record between the shares.
        ASSERT_EQ(VAKOBDbSet(db->pDb, "MEDIA", 6, "damaged", 8), 0);
    }
    int r = 0;
    SLIBErrorSet(0);
    Enum(7, &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(SLIBErrorGet(), 0x4000);
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x46));
}

TEST(ShareEnum, NamePatterns)
{
    const struct {
        const char *name;
        int usb, sata;
    } cases[] = {
        {"usbshare", 1, 0},   {"USBShare12", 1, 0}, {"usbshare1a", 0, 0}, {"usbshare-1", 0, 0},
        {"usbbackup", 1, 0},  {"UsbBackup", 0, 0},  {"usbshar", 0, 0},    {"satashare", 0, 1},
        {"satabackup", 0, 1}, {"SATAshare", 0, 0},  {"satashare1", 0, 0}, {nullptr, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "NULL");
        EXPECT_EQ(ShareIsUsbName(c.name), c.usb);
        EXPECT_EQ(ShareIsSataName(c.name), c.sata);
    }
}

// A filter that counts its calls.
struct Calls {
    int init = 0, match = 0, finish = 0;
};
Calls gCalls;
int gInitResult = 0;

int CountInit(const VAKOSHAREENUMFILTER *, void *) { return gCalls.init++, gInitResult; }
int CountMatch(const VAKOSHAREENUMFILTER *, const VAKOSHARE *share, int arg)
{
    gCalls.match++;
    return ShareDBEnumTypeMatched(share, arg);
}
void CountFinish(const VAKOSHAREENUMFILTER *) { gCalls.finish++; }

TEST(ShareDBEnumInternal, FilterAndFinish)
{
    WriteShares();
    sharedb::DbPtr db = sharedb::Open();
    ASSERT_NE(db, nullptr);
    PSLIBSZLIST list = PslSLIBSzListAlloc(512);
    const VAKOSHAREENUMFILTER full = {CountInit, CountMatch, CountFinish};
    EXPECT_EQ(VAKOShareDBEnumInternal(db.get(), &list, &full, nullptr, 4), 1);
    EXPECT_EQ(gCalls.init, 1);
    EXPECT_EQ(gCalls.match, 7);
    EXPECT_EQ(gCalls.finish, 1);
    EXPECT_STREQ(SLIBSzListGet(list, 0), "satashare");

    // Refused filters: finish is called all the same.
    gCalls = {};
    const VAKOSHAREENUMFILTER noMatch = {CountInit, nullptr, CountFinish};
    const VAKOSHAREENUMFILTER halfPair = {nullptr, CountMatch, CountFinish};
    for (const VAKOSHAREENUMFILTER *f : {&noMatch, &halfPair}) {
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOShareDBEnumInternal(db.get(), &list, f, nullptr, 4), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    }
    EXPECT_EQ(VAKOShareDBEnumInternal(nullptr, &list, &full, nullptr, 4), -1);
    EXPECT_STREQ(SLIBErrorGetFile(), "share_db_enum_internal");
    EXPECT_EQ(ShareDBEnumTypeMatched(nullptr, 1), -1);
    EXPECT_STREQ(SLIBErrorGetFile(), "share_db_enum_type_matched");
    EXPECT_EQ(gCalls.finish, 3);
    EXPECT_EQ(gCalls.init, 0);
    // A refusing init: no walk.
    gCalls = {};
    gInitResult = 1;
    EXPECT_EQ(VAKOShareDBEnumInternal(db.get(), &list, &full, nullptr, 4), -1);
    EXPECT_EQ(gCalls.match, 0);
    EXPECT_EQ(gCalls.finish, 1);
    SLIBSzListFree(list);
}

} // namespace
