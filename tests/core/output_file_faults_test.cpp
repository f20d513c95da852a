// Output files whose system calls fail: a close that reports the file not
// whole, attribute lists that cannot be read, an owner that cannot be kept.
// Built with its own copy of output_file.cpp, whose calls go through a table.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "output_file.h"
#include "output_file_calls.h"
#include "temp_dir.h"

using namespace rle565;
using detail::outputFileCalls;

namespace {

// Puts the system's calls back whatever the test did to them.
class OutputFileFaults : public ::testing::Test {
protected:
    void TearDown() override { outputFileCalls = saved_; }

private:
    detail::OutputFileCalls saved_ = outputFileCalls;
};

// A close that frees the descriptor, as Linux always does, but reports that
// the file's last writes did not reach the disk.
int closeFails(int fd) {
    ::close(fd);
    errno = EIO;
    return -1;
}

ssize_t listFailsWith(int error) {
    errno = error;
    return -1;
}

mode_t modeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Writes `bytes` to a new output for `target` and commits it.
bool replace(const std::string& target, const std::string& bytes) {
    OutputFile out(target.c_str());
    EXPECT_TRUE(out.isOpen());
    EXPECT_TRUE(out.write(bytes.data(), bytes.size()));
    return out.commit();
}

// Replacing t.bin in `dir` fails, and the file and folder stay as they were.
void expectReplacementRefused(const TempDir& dir) {
    const std::string target = dir.file("t.bin");
    writeFile(target, {9, 9});
    EXPECT_FALSE(replace(target, "abc"));
    EXPECT_EQ(readFile(target), (Bytes{9, 9}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"t.bin"}));
}

TEST_F(OutputFileFaults, FailedCloseFailsTheCommit) {
    outputFileCalls.close = closeFails;
    TempDir dir;
    // A replacement: the target stays as it was.
    expectReplacementRefused(dir);
    // A new file, named in place before the close: it goes again.
    EXPECT_FALSE(replace(dir.file("new.bin"), "abc"));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"t.bin"}));
    // A device, written to as it is.
    EXPECT_FALSE(replace("/dev/null", "abc"));
}

// What the syncs saw: each synced descriptor's kind and, for a file, its
// bytes and the target's bytes at that moment.
struct SyncSeen {
    bool bFolder;
    Bytes file;
    Bytes target;
};
std::vector<SyncSeen> syncs;
std::string syncTarget;

int recordSync(int fd) {
    struct stat info {};
    ::fstat(fd, &info);
    SyncSeen seen{S_ISDIR(info.st_mode), {}, readFile(syncTarget)};
    if (!seen.bFolder) seen.file = readFile("/proc/self/fd/" + std::to_string(fd));
    syncs.push_back(seen);
    return ::fsync(fd);
}

// A replacement reaches the disk before it takes the target's place, and
// the folder's entry after; a new file that replaces nothing is not synced.
TEST_F(OutputFileFaults, ReplacementIsSyncedBeforeTheRename) {
    outputFileCalls.fdatasync = recordSync;
    outputFileCalls.fsync = recordSync;
    TempDir dir;
    syncTarget = dir.file("t.bin");
    writeFile(syncTarget, {9, 9});
    syncs.clear();
    EXPECT_TRUE(replace(syncTarget, "abc"));
    ASSERT_EQ(syncs.size(), 2u);
    EXPECT_FALSE(syncs[0].bFolder);
    EXPECT_EQ(syncs[0].file, (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(syncs[0].target, (Bytes{9, 9}));  // not renamed yet
    EXPECT_TRUE(syncs[1].bFolder);
    EXPECT_EQ(syncs[1].target, (Bytes{'a', 'b', 'c'}));
    syncs.clear();
    EXPECT_TRUE(replace(dir.file("new.bin"), "abc"));
    EXPECT_TRUE(syncs.empty());
}

// A sync that fails means the replacement may not survive a power cut: the
// commit fails and the target stays as it was.
TEST_F(OutputFileFaults, FailedSyncFailsTheCommit) {
    outputFileCalls.fdatasync = [](int) {
        errno = EIO;
        return -1;
    };
    TempDir dir;
    expectReplacementRefused(dir);
}

// Without the source's attributes the copy would not be faithful, so a list
// that cannot be read fails the commit; a file system that has no extended
// attributes has none to copy.
TEST_F(OutputFileFaults, AttributeListsThatCannotBeRead) {
    TempDir dir;
    const std::string target = dir.file("t.bin");
    writeFile(target, {9, 9});
    outputFileCalls.listxattr = [](const char*, char*, std::size_t) { return listFailsWith(EIO); };
    EXPECT_FALSE(replace(target, "abc"));
    EXPECT_EQ(readFile(target), (Bytes{9, 9}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"t.bin"}));

    outputFileCalls.listxattr = ::listxattr;
    outputFileCalls.flistxattr = [](int, char*, std::size_t) { return listFailsWith(EIO); };
    EXPECT_FALSE(replace(target, "abc"));
    EXPECT_EQ(readFile(target), (Bytes{9, 9}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"t.bin"}));

    outputFileCalls.flistxattr = ::flistxattr;
    outputFileCalls.listxattr = [](const char*, char*, std::size_t) {
        return listFailsWith(ENOTSUP);
    };
    EXPECT_TRUE(replace(target, "abc"));
    EXPECT_EQ(readFile(target), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"t.bin"}));
}

// A list that grows between asking its size and reading it is asked again.
TEST_F(OutputFileFaults, AttributeListThatGrowsIsReadAgain) {
    TempDir dir;
    const std::string target = dir.file("t.bin");
    writeFile(target, {9, 9});
    // The source's attribute itself is read with the real calls.
    if (setxattr(target.c_str(), "user.grown", "v", 1, 0) != 0)
        GTEST_SKIP() << "no user attributes here";
    static int nCalls;
    nCalls = 0;
    // Sizes of 1 and then the name's: the first read finds the list grown.
    outputFileCalls.listxattr = [](const char*, char* list, std::size_t size) -> ssize_t {
        constexpr char NAME[] = "user.grown";
        constexpr auto NAME_SIZE = static_cast<ssize_t>(sizeof NAME);
        ++nCalls;
        if (list == nullptr) return nCalls == 1 ? 1 : NAME_SIZE;
        if (size < sizeof NAME) return listFailsWith(ERANGE);
        std::memcpy(list, NAME, sizeof NAME);
        return NAME_SIZE;
    };
    EXPECT_TRUE(replace(target, "abc"));
    EXPECT_EQ(nCalls, 4);
    EXPECT_EQ(readFile(target), (Bytes{'a', 'b', 'c'}));
    char value[4] = {};
    EXPECT_EQ(getxattr(target.c_str(), "user.grown", value, sizeof value), 1);
    EXPECT_EQ(value[0], 'v');
}

// Where the owner cannot be given back, the set-user and set-group bits stay
// only while the owner and group they were set for are still the file's.
TEST_F(OutputFileFaults, SetIdBitsStayWithTheSameOwner) {
    outputFileCalls.fchown = [](int, uid_t, gid_t) {
        errno = EPERM;
        return -1;
    };
    TempDir dir;
    const std::string target = dir.file("t.bin");
    writeFile(target, {9});
    ASSERT_EQ(chmod(target.c_str(), 06754), 0);
    EXPECT_TRUE(replace(target, "abc"));
    EXPECT_EQ(modeOf(target), 06754u);
}

// A file of another owner: the new one is the process's, and what the bits
// granted as the old owner or group it no longer grants. Only root can make
// such a file.
TEST_F(OutputFileFaults, SetIdBitsGoWithAnotherOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "files of another owner need root";
    constexpr uid_t OWNER = 12345;
    constexpr gid_t GROUP = 12346;
    TempDir dir;
    const std::string target = dir.file("t.bin");
    const auto makeTarget = [&target](mode_t mode) {
        writeFile(target, {9});
        ASSERT_EQ(chown(target.c_str(), OWNER, GROUP), 0);
        ASSERT_EQ(chmod(target.c_str(), mode), 0);
    };
    struct stat info {};

    // Neither owner nor group can be kept: no set-id bit, and the group
    // bits no more than everybody's.
    outputFileCalls.fchown = [](int, uid_t, gid_t) {
        errno = EPERM;
        return -1;
    };
    makeTarget(06775);
    EXPECT_TRUE(replace(target, "abc"));
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_NE(info.st_uid, OWNER);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    makeTarget(06771);
    EXPECT_TRUE(replace(target, "abc"));
    EXPECT_EQ(modeOf(target), 0711u);

    // The group can be kept, as by an owner who belongs to it: its bits
    // stay, the set-user bit goes.
    outputFileCalls.fchown = [](int fd, uid_t owner, gid_t group) {
        if (owner != static_cast<uid_t>(-1)) {
            errno = EPERM;
            return -1;
        }
        return ::fchown(fd, owner, group);
    };
    makeTarget(06770);
    EXPECT_TRUE(replace(target, "abc"));
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_gid, GROUP);
    EXPECT_EQ(info.st_mode & 07777, 02770u);

    // Root gives the file back to its owner: every bit stays.
    outputFileCalls.fchown = ::fchown;
    makeTarget(06775);
    EXPECT_TRUE(replace(target, "abc"));
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, OWNER);
    EXPECT_EQ(info.st_gid, GROUP);
    EXPECT_EQ(info.st_mode & 07777, 06775u);
    EXPECT_EQ(readFile(target), (Bytes{'a', 'b', 'c'}));
}

}  // namespace
