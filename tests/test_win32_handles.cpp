// The owners header: moving hands a handle on exactly once, and the local
// owners never touch a block that is no longer live.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "test_support.h"
#include "win32_handles.h"

namespace {

bool FileHandleIsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

}  // namespace

TEST(Owners, AFileIsClosedOnceWhateverWayItLeaves) {
    TempDir dir;
    std::string path = dir.File("owned.txt");
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
    HANDLE raw = file.get();

    UniqueFile moved(std::move(file));
    EXPECT_FALSE(file.valid());
    EXPECT_EQ(INVALID_HANDLE_VALUE, file.get());
    EXPECT_EQ(raw, moved.get());
    EXPECT_TRUE(FileHandleIsOpen(raw));

    UniqueFile assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(FileHandleIsOpen(raw));
    assigned.reset();
    EXPECT_FALSE(FileHandleIsOpen(raw));

    // A failed open is INVALID_HANDLE_VALUE, not null: the owner is empty.
    UniqueFile missing(CreateFileA(dir.File("absent").c_str(), GENERIC_READ, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(missing.valid());

    UniqueFile kept(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    HANDLE released = kept.release();
    EXPECT_FALSE(kept.valid());
    EXPECT_TRUE(FileHandleIsOpen(released));
    UniqueFile(released).reset();
    EXPECT_FALSE(FileHandleIsOpen(released));
}

TEST(Owners, ARegistryKeyIsTakenThroughPut) {
    UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, key.put()));
    EXPECT_TRUE(key.valid());
    DWORD subKeys = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys,
                                              nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr));
    HKEY raw = key.get();
    key.reset();
    EXPECT_NE(ERROR_SUCCESS, RegQueryInfoKeyA(raw, nullptr, nullptr, nullptr, &subKeys, nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr));
}

TEST(Owners, ALocalLockKnowsTheBlocksSizeAndSkipsDeadHandles) {
    UniqueLocal block(LocalAlloc(LMEM_MOVEABLE, 37));
    ASSERT_TRUE(block.valid());
    {
        LocalLockScope lock(block.get());
        EXPECT_TRUE(lock.live());
        ASSERT_NE(nullptr, lock.data());
        EXPECT_EQ(37u, lock.size());
        EXPECT_EQ(1u, LocalFlags(block.get()) & LMEM_LOCKCOUNT);
        LocalLockScope moved(std::move(lock));
        EXPECT_EQ(nullptr, lock.data());
        EXPECT_EQ(1u, LocalFlags(block.get()) & LMEM_LOCKCOUNT);
    }
    EXPECT_EQ(0u, LocalFlags(block.get()) & LMEM_LOCKCOUNT);

    // A lock kept beyond a scope is given back by adopting it.
    void* kept = LocalLock(block.get());
    ASSERT_NE(nullptr, kept);
    LocalLockScope::Adopt(block.get(), kept);
    EXPECT_EQ(0u, LocalFlags(block.get()) & LMEM_LOCKCOUNT);

    // A discarded (zero-size) block is live but cannot be locked.
    UniqueLocal empty(LocalAlloc(LMEM_MOVEABLE, 0));
    LocalLockScope emptyLock(empty.get());
    EXPECT_TRUE(empty.valid() && emptyLock.live());
    EXPECT_TRUE(emptyLock.data() == nullptr && emptyLock.size() == 0);

    // A handle whose block was freed behind the owner's back (as a plug-in
    // may hand back a block it freed itself): neither locked nor freed again.
    HLOCAL freed = LocalAlloc(LMEM_MOVEABLE, 16);
    ASSERT_EQ(nullptr, LocalFree(freed));
    LocalLockScope deadLock(freed);
    EXPECT_FALSE(deadLock.live());
    EXPECT_EQ(nullptr, deadLock.data());
    EXPECT_EQ(nullptr, FreeLiveLocal(freed));
}
