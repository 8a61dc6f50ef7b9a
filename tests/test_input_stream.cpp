// SpiInputStream and the handle table: sharing one local-memory block
// between streams, checked against the block itself (LocalSize tells
// whether it is still allocated, LocalFlags how often it is locked).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "handle_ref_table.h"
#include "local_blocks.h"
#include "spi_input_stream.h"

namespace {

// Frees a block the streams were expected to leave alone.
void Discard(HLOCAL h) {
    while (LockCount(h)) LocalUnlock(h);
    LocalFree(h);
}

// Sets the fields directly, to hold a block the table has never seen.
class RawStream : public SpiInputStream {
public:
    void HoldUncounted(HLOCAL h, int32_t size) {
        memHandle = h;
        memData = LocalLock(h);
        memSize = size;
        memoryMode = 1;
    }
};

fileInfo EntryAt(uint32_t position) {
    fileInfo entry;
    memset(&entry, 0, sizeof entry);
    entry.position = position;
    return entry;
}

}  // namespace

TEST(InputStream, TwoSetMemoryCountAndLockTwiceAndTheLastCloseFrees) {
    HLOCAL h = NewBlock(64);
    SpiInputStream a, b;
    a.SetMemory("a", h, 64);
    b.SetMemory("b", h, 64);
    EXPECT_EQ(2, handleRefTable.CountOf(h));
    EXPECT_EQ(2u, LockCount(h));
    EXPECT_EQ(a.GetSource(nullptr), b.GetSource(nullptr));

    a.Close();
    EXPECT_TRUE(Allocated(h));
    EXPECT_EQ(1, handleRefTable.CountOf(h));
    EXPECT_EQ(2u, LockCount(h)) << "only the freeing Close unlocks";
    a.Close();  // a second Close gives nothing back
    EXPECT_EQ(1, handleRefTable.CountOf(h));
    EXPECT_TRUE(Allocated(h));

    b.Close();
    EXPECT_FALSE(handleRefTable.Contains(h));
    EXPECT_TRUE(IsFreed(h));
}

TEST(InputStream, AssignSharesTheBlockWithoutLockingAgain) {
    HLOCAL h = NewBlock(5000);
    size_t entriesBefore = handleRefTable.Size();
    {
        SpiInputStream source;
        source.SetMemory("member.bin", h, 5000);
        static_cast<char*>(const_cast<char*>(source.GetSource(nullptr)))[10] = 'x';
        {
            SpiInputStream copy;
            copy.Assign(source);
            EXPECT_EQ(2, handleRefTable.CountOf(h));
            EXPECT_EQ(1u, LockCount(h));
            EXPECT_EQ(1, copy.IsMemory());
            EXPECT_EQ(source.GetSource(nullptr), copy.GetSource(nullptr));
            EXPECT_EQ(5000, copy.GetLength(nullptr));
            ASSERT_NE(nullptr, copy.GetName());
            EXPECT_STREQ("member.bin", copy.GetName());
            EXPECT_NE(source.GetName(), copy.GetName()) << "each stream owns its name";

            copy.Assign(copy);
            EXPECT_EQ(2, handleRefTable.CountOf(h));
            EXPECT_STREQ("member.bin", copy.GetName());

            source.Close();
            EXPECT_TRUE(Allocated(h));
            EXPECT_EQ('x', copy.GetSource(nullptr)[10]);
        }  // the destructor closes the last holder
        EXPECT_TRUE(IsFreed(h));
        EXPECT_FALSE(handleRefTable.Contains(h));
    }
    EXPECT_EQ(entriesBefore, handleRefTable.Size());
}

TEST(InputStream, AssignIntoAHolderGivesBackWhatItHeld) {
    HLOCAL old = NewBlock(32);
    HLOCAL shared = NewBlock(32);
    SpiInputStream source, target, twin;
    source.SetMemory("source", shared, 32);
    target.SetMemory("target", old, 32);
    target.Assign(source);
    EXPECT_TRUE(IsFreed(old)) << "the block the target held leaked";
    EXPECT_FALSE(handleRefTable.Contains(old));
    EXPECT_EQ(2, handleRefTable.CountOf(shared));

    // Re-assigning the block a stream already shares keeps one count each.
    twin.SetMemory("twin", shared, 32);
    twin.Assign(source);
    EXPECT_EQ(3, handleRefTable.CountOf(shared));
    EXPECT_EQ(2u, LockCount(shared));
    source.Close();
    twin.Close();
    EXPECT_TRUE(Allocated(shared));
    target.Close();
    EXPECT_TRUE(IsFreed(shared));

    // A file-mode source leaves the target in file mode, holding no block.
    HLOCAL held = NewBlock(16);
    SpiInputStream file;
    file.SetFile("archive.tar", 12);
    target.SetMemory("held", held, 16);
    target.Assign(file);
    EXPECT_TRUE(IsFreed(held));
    EXPECT_EQ(0, target.IsMemory());
    EXPECT_STREQ("archive.tar", target.GetSource(nullptr));
    EXPECT_EQ(12, target.GetLength(nullptr));
}

TEST(InputStream, DetachOfTheOnlyHolderLeavesTheBlockLockedAndAllocated) {
    HLOCAL h = NewBlock(64);
    SpiInputStream working, result;
    working.SetMemory("inner.tar", h, 64);
    result.Assign(working);
    working.Detach();
    EXPECT_EQ(1, handleRefTable.CountOf(h));
    EXPECT_EQ(nullptr, working.GetName());
    working.Close();  // finds nothing to release
    EXPECT_EQ(1, handleRefTable.CountOf(h));
    EXPECT_STREQ("inner.tar", result.GetName());

    result.Detach();
    EXPECT_TRUE(handleRefTable.Contains(h));
    EXPECT_EQ(0, handleRefTable.CountOf(h));
    EXPECT_TRUE(Allocated(h));
    EXPECT_EQ(1u, LockCount(h));
    handleRefTable.Erase(h);
    Discard(h);
}

TEST(InputStream, BlocksTheTableDoesNotKnow) {
    HLOCAL h = NewBlock(64);
    {
        RawStream raw;
        raw.HoldUncounted(h, 64);
        SpiInputStream copy;
        copy.Assign(raw);  // one count for each holder
        EXPECT_EQ(2, handleRefTable.CountOf(h));
        copy.Close();
        raw.Close();
        EXPECT_TRUE(IsFreed(h));
    }

    HLOCAL foreign = NewBlock(64);
    {
        RawStream raw;
        raw.HoldUncounted(foreign, 64);
    }  // closing forgets the block without unlocking or freeing it
    EXPECT_TRUE(Allocated(foreign));
    EXPECT_EQ(1u, LockCount(foreign));
    Discard(foreign);
}

TEST(InputStream, SourceAndLengthInBothModes) {
    fileInfo entry = EntryAt(1000);

    SpiInputStream file;
    file.SetFile("C:\\data\\archive.tar", 0);
    EXPECT_EQ(0, file.IsMemory());
    EXPECT_STREQ("C:\\data\\archive.tar", file.GetSource(nullptr));
    EXPECT_STREQ("C:\\data\\archive.tar", file.GetSource(&entry));
    EXPECT_EQ(0, file.GetLength(nullptr));
    EXPECT_EQ(1000, file.GetLength(&entry));
    file.SetFile("C:\\data\\archive.tar", 512);
    EXPECT_EQ(512, file.GetLength(nullptr));
    EXPECT_EQ(1512, file.GetLength(&entry));
    file.SetFile(nullptr, 0);
    EXPECT_EQ(nullptr, file.GetName());

    HLOCAL h = NewBlock(5000);
    SpiInputStream memory;
    memory.SetMemory(nullptr, h, 5000);
    EXPECT_EQ(nullptr, memory.GetName());
    const char* data = memory.GetSource(nullptr);
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(data + 1000, memory.GetSource(&entry));
    EXPECT_EQ(5000, memory.GetLength(nullptr));
    EXPECT_EQ(4000, memory.GetLength(&entry));

    // Switching back to a file gives the block back.
    memory.SetFile("next.tar", 0);
    EXPECT_TRUE(IsFreed(h));
    EXPECT_EQ(0, memory.IsMemory());
}

TEST(InputStream, SetMemoryWithoutAHandle) {
    size_t entries = handleRefTable.Size();
    SpiInputStream stream;
    EXPECT_EQ(0, stream.SetMemory("nothing", nullptr, 0));
    EXPECT_EQ(1, stream.IsMemory());
    EXPECT_EQ(nullptr, stream.GetSource(nullptr));
    EXPECT_EQ(entries, handleRefTable.Size());
    stream.Close();
    EXPECT_EQ(entries, handleRefTable.Size());
    EXPECT_EQ(nullptr, stream.GetName());
}
