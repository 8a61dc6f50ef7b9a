// The records spicheck's worker sends to spicheck: what goes into the pipe
// comes out whole and in order, however the pipe cuts it, and bytes that do
// not make a record are refused rather than read past.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "journal.h"
#include "base/process_probes.h"

namespace {

struct Writing {
    HANDLE pipe;
    std::vector<journal::Packet> packets;
};

DWORD WINAPI WriteAll(void* context) {
    Writing* writing = static_cast<Writing*>(context);
    for (const journal::Packet& packet : writing->packets)
        if (!journal::Write(writing->pipe, packet)) return 1;
    CloseHandle(writing->pipe);
    return 0;
}

TEST(Journal, RecordsCrossAPipeWholeAndInOrder) {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 4096));
    UniqueKernelHandle reading(readEnd);
    // A page record is far larger than the pipe and than one read.
    std::string page(200000, '\0');
    for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<char>(i * 7);
    Writing writing{writeEnd, {}};
    writing.packets.push_back(journal::Packet(journal::kCheck).Add("picture.header"));
    writing.packets.push_back(journal::Packet(journal::kPage).Add(page).Add(-12345678901LL));
    writing.packets.push_back(journal::Packet(journal::kResult).Add("").Add("FAIL"));
    writing.packets.push_back(journal::Packet(journal::kEnd));
    UniqueKernelHandle writer(CreateThread(nullptr, 0, WriteAll, &writing, 0, nullptr));
    ASSERT_TRUE(writer.valid());

    journal::Reader reader(reading.get());
    journal::Record record;
    ASSERT_TRUE(reader.Next(&record));
    EXPECT_EQ(journal::kCheck, record.type);
    EXPECT_EQ(std::vector<std::string>{"picture.header"}, record.fields);
    ASSERT_TRUE(reader.Next(&record));
    EXPECT_EQ(journal::kPage, record.type);
    ASSERT_EQ(2u, record.fields.size());
    EXPECT_TRUE(page == record.Text(0));
    EXPECT_EQ(-12345678901LL, record.Number(1));
    ASSERT_TRUE(reader.Next(&record));
    EXPECT_EQ((std::vector<std::string>{"", "FAIL"}), record.fields);
    EXPECT_EQ(0, record.Number(0));
    EXPECT_EQ(0, record.Number(5));
    EXPECT_EQ("", record.Text(5));
    ASSERT_TRUE(reader.Next(&record));
    EXPECT_EQ(journal::kEnd, record.type);
    EXPECT_TRUE(record.fields.empty());
    EXPECT_FALSE(reader.Next(&record));  // the writer has closed its end

    WaitForSingleObject(writer.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeThread(writer.get(), &code);
    EXPECT_EQ(0u, code);
}

std::string Le32(uint32_t value) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

TEST(Journal, BytesThatMakeNoRecordAreRefusedWhereTheyStand) {
    std::string good = journal::Packet(journal::kFile).Add(3).Bytes();
    const std::vector<std::string> bad = {
        good.substr(0, good.size() - 1),                 // cut short
        good.substr(0, 3),                               // not even a size
        Le32(0),                                         // no type byte
        Le32(0xFFFFFFFFu) + "F",                         // beyond any record
        Le32(1 + 4) + "F" + Le32(2),                     // a field's size and no field
        Le32(1 + 4 + 1) + "F" + Le32(9) + "x",           // a field past its record
        Le32(1 + 2) + "F" + "ab",                        // half a field size
    };
    for (const std::string& bytes : bad) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        size_t at = 0;
        journal::Record record;
        bool parsed = journal::ParseRecord(bytes, &at, &record);
        EXPECT_FALSE(parsed);
        EXPECT_EQ(0u, at);
    }
    size_t at = 0;
    journal::Record record;
    ASSERT_TRUE(journal::ParseRecord(good + good, &at, &record));
    EXPECT_EQ(good.size(), at);
    EXPECT_EQ(3, record.Number(0));
}

}  // namespace
