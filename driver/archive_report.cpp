// The archive test: the member list, entry by entry, with every member
// extracted into memory.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "options.h"
#include "reports.h"
#include "win32_handles.h"

namespace {

// GetFile's return codes 1 to 8 in words; 0 takes the success path.
const char* const getFileResultText[] = {
    "展開成功",
    "キャンセル",
    "未対応のフォーマット",
    "破損データ",
    "メモリ割り当て失敗",
    "メモリ操作失敗",
    "ファイル読み込みエラー",
    "予約",
    "内部エラー",
};
constexpr int32_t kLastResultText =
    static_cast<int32_t>(sizeof getFileResultText / sizeof getFileResultText[0]) - 1;

// A text field a plug-in filled, up to its terminator or the field's end.
int FieldLength(const void* field, size_t size) {
    return static_cast<int>(strnlen(static_cast<const char*>(field), size));
}

void PrintDate(int32_t timestamp) {
    time_t seconds = timestamp;
    const struct tm* local = localtime(&seconds);
    const char* text = local ? asctime(local) : nullptr;
    if (text)
        printf("Date: %s", text);
    else
        printf("Date: (invalid timestamp %d)\n", static_cast<int>(timestamp));
}

void TestEntry(SpiDllFile& plugin, const char* fileName, const fileInfo& entry) {
    printf("Method: %.*s\tPosition: %d\n", FieldLength(entry.method, sizeof entry.method),
           reinterpret_cast<const char*>(entry.method), static_cast<int>(entry.position));
    printf("Size: %d -> %d\n", static_cast<int>(entry.compsize),
           static_cast<int>(entry.filesize));
    PrintDate(entry.timestamp);
    printf("Name: (%.*s)\\(%.*s)\n", FieldLength(entry.path, sizeof entry.path), entry.path,
           FieldLength(entry.filename, sizeof entry.filename), entry.filename);
    // " CRC: %ud" prints the value followed by a "d": the tool's established
    // output (see plugin_report.cpp).
    printf(" CRC: %ud\n", static_cast<unsigned>(entry.crc));

    ProgressArguments progress = CurrentProgressArguments();
    // Null before every call, so that a plug-in that succeeds without
    // storing a handle never gets an earlier member's handle freed twice.
    HLOCAL member = nullptr;
    int32_t result = plugin.GetFile(fileName, static_cast<int32_t>(entry.position),
                                    reinterpret_cast<LPSTR>(&member), SPI_OUTPUT_MEMORY,
                                    progress.callback, progress.data);
    if (result == 0) {
        printf("GetFile成功\n");
        UniqueLocal extracted(member);
    } else if (result >= 1 && result <= kLastResultText) {
        printf("%s\n", getFileResultText[result]);
    } else {
        printf("ファイルを取得できませんでした(Error=%d)\n", static_cast<int>(result));
    }
    printf("\n");
}

}  // namespace

void TestArchive(SpiDllFile& plugin, const char* fileName) {
    HLOCAL listHandle = nullptr;
    plugin.GetArchiveInfo(fileName, 0, 0, &listHandle);
    if (!listHandle) {
        printf("ファイル情報の取得に失敗\n");
        return;
    }
    UniqueLocal owned(listHandle);
    {
        LocalLockScope list(listHandle);
        if (!list.data()) {
            // Discarded or no longer valid: there is no list to show.
            printf("ファイル情報の取得に失敗\n");
        } else {
            printf("ファイル情報 -- \n");
            // The walk ends at the terminator record or at the last whole
            // record in the block, whichever comes first.
            const char* records = static_cast<const char*>(list.data());
            size_t count = list.size() / sizeof(fileInfo);
            for (size_t i = 0; i < count; ++i) {
                fileInfo entry;
                memcpy(&entry, records + i * sizeof(fileInfo), sizeof entry);
                if (entry.method[0] == 0) break;
                TestEntry(plugin, fileName, entry);
            }
        }
    }
}
