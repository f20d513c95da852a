// The safe replacement of output files: the target changes only when the
// whole new file has been written.
#include "output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "temp_dir.h"

using namespace rle565;

namespace {

TEST(OutputFile, ReplacesTargetOnlyOnCommit) {
    TempDir dir;
    const std::string target = dir.file("t.bin");
    writeFile(target, {9, 9});
    {
        OutputFile out(target.c_str());
        ASSERT_TRUE(out.isOpen());
        EXPECT_TRUE(out.write("abc", 3));
        // Until the commit, the old file is still there, and the new one
        // has no name yet.
        EXPECT_EQ(readFile(target), (Bytes{9, 9}));
        EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"t.bin"}));
        EXPECT_TRUE(out.commit());
    }
    EXPECT_EQ(readFile(target), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"t.bin"}));
}

TEST(OutputFile, AbandonedFileLeavesNothing) {
    TempDir dir;
    const std::string target = dir.file("t.bin");
    writeFile(target, {1});
    {
        OutputFile out(target.c_str());
        Bytes big(300000, 7);  // larger than the write buffer: reaches the disk
        EXPECT_TRUE(out.write(big.data(), big.size()));
    }
    EXPECT_EQ(readFile(target), (Bytes{1}));
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"t.bin"}));
}

// A reservation is a hint: the file has the size of what was written, more
// or less than announced, and nothing is left behind without a commit.
TEST(OutputFile, ReservationKeepsWrittenSize) {
    TempDir dir;
    const std::string target = dir.file("t.bin");
    {
        OutputFile out(target.c_str());
        out.reserve(1 << 20);
        EXPECT_TRUE(out.write("abcd", 4));
        EXPECT_TRUE(out.commit());
    }
    EXPECT_EQ(readFile(target), (Bytes{'a', 'b', 'c', 'd'}));
    {
        OutputFile out(target.c_str());
        out.reserve(2);
        const Bytes big(200000, 5);
        EXPECT_TRUE(out.write(big.data(), big.size()));
        EXPECT_TRUE(out.commit());
    }
    EXPECT_EQ(readFile(target), Bytes(200000, 5));
    {
        OutputFile out(target.c_str());
        out.reserve(100);
    }
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"t.bin"}));
}

TEST(OutputFile, FailuresLeaveTargetAlone) {
    TempDir dir;
    // A target that is a folder: the rename fails and the temporary file goes.
    std::filesystem::create_directory(dir.file("folder"));
    {
        OutputFile out(dir.file("folder").c_str());
        ASSERT_TRUE(out.isOpen());
        out.write("x", 1);
        EXPECT_FALSE(out.commit());
    }
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"folder"}));
    // A folder that does not exist: nothing can be created.
    OutputFile none(dir.file("no/such/file").c_str());
    EXPECT_FALSE(none.isOpen());
    EXPECT_FALSE(none.write("x", 1));
    EXPECT_FALSE(none.commit());
}

// The set-user and set-group bits included, as the owner stays the same.
TEST(OutputFile, KeepsPermissionsOfReplacedFile) {
    TempDir dir;
    const std::string target = dir.file("t.bin");
    for (const mode_t mode : {0640, 06754}) {
        writeFile(target, {1});
        chmod(target.c_str(), mode);
        OutputFile out(target.c_str());
        out.write("z", 1);
        ASSERT_TRUE(out.commit());
        struct stat info;
        ASSERT_EQ(stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, mode);
    }
}

// Permissions given by the caller: the file is made with them, and files
// under way for one target at the same time never share a temporary name.
TEST(OutputFile, KnownPermissionsAndManyAtOnce) {
    TempDir dir;
    const std::string target = dir.file("t.bin");
    writeFile(target, {1});
    const mode_t before = umask(022);
    {
        OutputFile out(OutputTarget(target.c_str(), 0604));
        ASSERT_TRUE(out.isOpen());
        out.write("k", 1);
        ASSERT_TRUE(out.commit());
    }
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u);
    EXPECT_EQ(readFile(target), (Bytes{'k'}));
    {
        std::vector<std::unique_ptr<OutputFile>> outs;
        for (int k = 0; k < 64; ++k) {
            outs.push_back(std::make_unique<OutputFile>(OutputTarget(target.c_str(), 0644)));
            ASSERT_TRUE(outs.back()->isOpen());
            const auto byte = static_cast<char>(k);
            ASSERT_TRUE(outs.back()->write(&byte, 1));
        }
        EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"t.bin"}));
        // Each is named and renamed in turn; the last one stays.
        for (auto& out : outs) ASSERT_TRUE(out->commit());
    }
    EXPECT_EQ(listFolder(dir.path()), (std::vector<std::string>{"t.bin"}));
    EXPECT_EQ(readFile(target), (Bytes{63}));
    // No folder to make it in: nothing is made.
    OutputFile none(OutputTarget(dir.file("no/such/file").c_str(), 0644));
    EXPECT_FALSE(none.isOpen());
    EXPECT_FALSE(none.commit());
    umask(before);
}

}  // namespace
