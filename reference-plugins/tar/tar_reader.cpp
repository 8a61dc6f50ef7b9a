#include "tar_reader.h"

#include <windows.h>

#include <cstring>

namespace {

// Field offsets in a header block.
constexpr size_t kName = 0, kNameLength = 100;
constexpr size_t kMode = 100;
constexpr size_t kSize = 124;
constexpr size_t kMtime = 136;
constexpr size_t kChecksum = 148, kChecksumLength = 8;
constexpr size_t kType = 156;
constexpr size_t kMagic = 257;
constexpr size_t kPrefix = 345, kPrefixLength = 155;

bool IsPosixMagic(const unsigned char* block) {
    return memcmp(block + kMagic, "ustar\0", 6) == 0;
}

bool IsGnuMagic(const unsigned char* block) {
    return memcmp(block + kMagic, "ustar  \0", 8) == 0;
}

std::string FieldText(const unsigned char* field, size_t length) {
    size_t n = 0;
    while (n < length && field[n]) ++n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

// Drops empty and "." components, so "./a//b" and "/a/b" read as "a/b";
// a trailing "/" (a directory) is kept.
std::string NormalizeName(const std::string& raw) {
    std::string name;
    size_t start = 0;
    while (start <= raw.size()) {
        size_t slash = raw.find('/', start);
        if (slash == std::string::npos) slash = raw.size();
        std::string part = raw.substr(start, slash - start);
        if (!part.empty() && part != ".") {
            if (!name.empty()) name += '/';
            name += part;
        }
        start = slash + 1;
    }
    if (!name.empty() && !raw.empty() && raw.back() == '/') name += '/';
    return name;
}

std::string HeaderName(const unsigned char* block) {
    std::string name = FieldText(block + kName, kNameLength);
    // Only POSIX ustar has a prefix field; GNU keeps times at that place.
    if (IsPosixMagic(block) && block[kPrefix]) {
        name = FieldText(block + kPrefix, kPrefixLength) + "/" + name;
    }
    return name;
}

// pax paths are UTF-8, while hosts work in the ANSI code page. A path is
// converted only when every character has a form there; otherwise it is
// kept as stored.
std::string Utf8ToAnsi(const std::string& utf8) {
    bool ascii = true;
    for (unsigned char c : utf8) ascii = ascii && c < 0x80;
    if (ascii || utf8.size() > INT32_MAX) return utf8;
    int size = static_cast<int>(utf8.size());
    int wideSize = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (wideSize <= 0) return utf8;
    std::wstring wide(static_cast<size_t>(wideSize), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, &wide[0], wideSize);
    BOOL lossy = FALSE;
    int ansiSize = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideSize, nullptr,
                                       0, nullptr, &lossy);
    if (ansiSize <= 0 || lossy) return utf8;
    std::string ansi(static_cast<size_t>(ansiSize), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideSize, &ansi[0], ansiSize,
                        nullptr, &lossy);
    return lossy ? utf8 : ansi;
}

bool ParseUnsignedDecimal(const char* text, size_t length, uint64_t limit, uint64_t* value) {
    if (length == 0) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (v > (limit - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

// "[-]digits[.digits]", the fraction dropped.
bool ParseSeconds(const char* text, size_t length, int64_t* value) {
    bool negative = length > 0 && text[0] == '-';
    size_t start = negative ? 1 : 0;
    size_t end = start;
    while (end < length && text[end] != '.') ++end;
    for (size_t i = end + (end < length ? 1 : 0); i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    uint64_t magnitude = 0;
    if (!ParseUnsignedDecimal(text + start, end - start, INT64_MAX, &magnitude)) return false;
    *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

}  // namespace

bool ParseTarNumber(const unsigned char* field, size_t length, int64_t* value) {
    if (length == 0) return false;
    if (field[0] & 0x80) {
        // Base-256: big-endian two's complement; bit 7 of the first byte is
        // the marker, bit 6 the sign.
        int64_t v = static_cast<int64_t>(field[0] & 0x7F);
        if (field[0] & 0x40) v -= 0x80;
        for (size_t i = 1; i < length; ++i) {
            if (v > INT64_MAX / 256 || v < INT64_MIN / 256) return false;
            v = v * 256 + field[i];
        }
        *value = v;
        return true;
    }
    size_t i = 0;
    while (i < length && field[i] == ' ') ++i;
    int64_t v = 0;
    for (; i < length && field[i] != ' ' && field[i] != 0; ++i) {
        if (field[i] < '0' || field[i] > '7') return false;
        if (v > (INT64_MAX >> 3)) return false;
        v = (v << 3) | (field[i] - '0');
    }
    // Only blanks and NULs may follow the digits.
    for (; i < length; ++i) {
        if (field[i] != ' ' && field[i] != 0) return false;
    }
    *value = v;
    return true;
}

HeaderKind ClassifyHeader(const unsigned char* block) {
    uint32_t unsignedSum = 0;
    int32_t signedSum = 0;
    bool zero = true;
    for (size_t i = 0; i < kTarBlock; ++i) {
        unsigned char byte = block[i];
        if (byte) zero = false;
        if (i >= kChecksum && i < kChecksum + kChecksumLength) byte = ' ';
        unsignedSum += byte;
        signedSum += static_cast<signed char>(byte);
    }
    if (zero) return HeaderKind::Zero;
    int64_t stored = 0;
    if (!ParseTarNumber(block + kChecksum, kChecksumLength, &stored)) return HeaderKind::Bad;
    // Some old writers summed signed bytes.
    if (stored == unsignedSum || stored == signedSum) return HeaderKind::Valid;
    return HeaderKind::Bad;
}

bool LooksLikeTar(const unsigned char* block) {
    if (ClassifyHeader(block) != HeaderKind::Valid) return false;
    int64_t size = 0, mode = 0, mtime = 0;
    if (!ParseTarNumber(block + kSize, 12, &size) || size < 0) return false;
    if (IsPosixMagic(block) || IsGnuMagic(block)) return true;
    return block[kName] != 0 && ParseTarNumber(block + kMode, 8, &mode) &&
           ParseTarNumber(block + kMtime, 12, &mtime);
}

bool ParsePaxRecords(const char* data, size_t length, PaxValues* values) {
    size_t pos = 0;
    while (pos < length) {
        if (data[pos] == 0) {
            // Some writers pad the records with NULs.
            for (size_t i = pos; i < length; ++i) {
                if (data[i]) return false;
            }
            return true;
        }
        size_t p = pos;
        while (p < length && data[p] >= '0' && data[p] <= '9') ++p;
        uint64_t recordLength = 0;
        if (p == pos || p >= length || data[p] != ' ') return false;
        if (!ParseUnsignedDecimal(data + pos, p - pos, length - pos, &recordLength)) return false;
        size_t end = pos + static_cast<size_t>(recordLength);
        size_t keyStart = p + 1;
        if (keyStart >= end || data[end - 1] != '\n') return false;
        const char* equals =
            static_cast<const char*>(memchr(data + keyStart, '=', end - 1 - keyStart));
        if (!equals || equals == data + keyStart) return false;
        std::string key(data + keyStart, equals);
        const char* value = equals + 1;
        size_t valueLength = static_cast<size_t>(data + end - 1 - value);
        if (key == "path") {
            values->path.assign(value, strnlen(value, valueLength));
            values->hasPath = !values->path.empty();
        } else if (key == "size") {
            uint64_t size = 0;
            if (!ParseUnsignedDecimal(value, valueLength, INT64_MAX, &size)) return false;
            values->size = size;
            values->hasSize = true;
        } else if (key == "mtime") {
            if (!ParseSeconds(value, valueLength, &values->mtime)) return false;
            values->hasMtime = true;
        } else if (key == "hdrcharset") {
            values->binaryNames = std::string(value, valueLength) == "BINARY";
        } else if (key.compare(0, 11, "GNU.sparse.") == 0) {
            values->sparse = true;
        }
        pos = end;
    }
    return true;
}

bool PaddedSize(uint64_t size, uint64_t* padded) {
    if (size > UINT64_MAX - (kTarBlock - 1)) return false;
    *padded = (size + kTarBlock - 1) & ~static_cast<uint64_t>(kTarBlock - 1);
    return true;
}

int32_t TarReader::ReadMeta(uint64_t offset, uint64_t size, std::string* data) {
    if (size > kMaxMetaSize || size > source_.Size() - offset) return 3;
    data->resize(static_cast<size_t>(size));
    return size ? source_.Read(offset, &(*data)[0], static_cast<uint32_t>(size)) : 0;
}

int32_t TarReader::Next(TarMember* member) {
    PaxValues pax;
    std::string longName;
    bool hasLongName = false;
    bool inChain = false;  // 'L', 'K', 'x' or 'g' blocks seen for this member
    uint64_t chainStart = pos_;
    unsigned char block[kTarBlock];
    for (;;) {
        uint64_t available = source_.Size();
        if (pos_ >= available) {
            // Some writers leave out the end blocks.
            if (first_) return 2;
            return inChain ? 3 : kEnd;
        }
        if (available - pos_ < kTarBlock) return first_ ? 2 : 3;
        int32_t result = source_.Read(pos_, block, kTarBlock);
        if (result) return result;
        HeaderKind kind = ClassifyHeader(block);
        if (kind == HeaderKind::Bad) return first_ ? 2 : 3;
        if (kind == HeaderKind::Zero) {
            first_ = false;
            return inChain ? 3 : kEnd;
        }
        first_ = false;

        int64_t headerSize = 0, headerMtime = 0;
        if (!ParseTarNumber(block + kSize, 12, &headerSize) || headerSize < 0) return 3;
        if (!ParseTarNumber(block + kMtime, 12, &headerMtime)) return 3;
        char type = static_cast<char>(block[kType]);
        uint64_t dataOffset = pos_ + kTarBlock;
        if (!inChain) chainStart = pos_;

        if (type == 'L' || type == 'K' || type == 'x' || type == 'X' || type == 'g') {
            std::string data;
            result = ReadMeta(dataOffset, static_cast<uint64_t>(headerSize), &data);
            if (result) return result;
            if (type == 'L') {
                longName.assign(data.c_str());
                hasLongName = true;
            } else if (type == 'g') {
                PaxValues global;
                if (!ParsePaxRecords(data.data(), data.size(), &global)) return 3;
            } else if (type != 'K') {
                if (!ParsePaxRecords(data.data(), data.size(), &pax)) return 3;
            }
            uint64_t padded = 0;
            PaddedSize(data.size(), &padded);
            if (padded > available - dataOffset) return 3;
            pos_ = dataOffset + padded;
            inChain = true;
            continue;
        }

        uint64_t size = pax.hasSize ? pax.size : static_cast<uint64_t>(headerSize);
        // Links, devices, FIFOs and directories store no data blocks,
        // whatever their size field says.
        if (type >= '1' && type <= '6') size = 0;
        uint64_t padded = 0;
        if (!PaddedSize(size, &padded) || padded > available - dataOffset) return 3;

        member->headerOffset = chainStart;
        member->dataOffset = dataOffset;
        member->size = size;
        member->mtime = pax.hasMtime ? pax.mtime : headerMtime;
        member->type = type;
        member->storedName =
            NormalizeName(pax.hasPath ? pax.path : hasLongName ? longName : HeaderName(block));
        if (pax.hasPath && !pax.binaryNames) {
            member->name = NormalizeName(Utf8ToAnsi(pax.path));
        } else {
            member->name = member->storedName;
        }
        member->regular = (type == '0' || type == 0 || type == '7') && !pax.sparse &&
                          !member->name.empty() && member->name.back() != '/';
        pos_ = dataOffset + padded;
        return 0;
    }
}
