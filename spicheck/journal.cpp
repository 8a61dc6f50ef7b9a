#include "journal.h"

#include <cstdlib>

namespace journal {

namespace {

constexpr uint32_t kMaxRecord = 64u << 20;  // a page figure is at most a few MiB

void Put32(std::string* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

uint32_t Get32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

}  // namespace

long long Record::Number(size_t index) const {
    if (index >= fields.size()) return 0;
    return strtoll(fields[index].c_str(), nullptr, 10);
}

const std::string& Record::Text(size_t index) const {
    static const std::string none;
    return index < fields.size() ? fields[index] : none;
}

Packet& Packet::Add(const std::string& field) {
    Put32(&body_, static_cast<uint32_t>(field.size()));
    body_ += field;
    return *this;
}

Packet& Packet::Add(long long number) { return Add(std::to_string(number)); }

std::string Packet::Bytes() const {
    std::string out;
    Put32(&out, static_cast<uint32_t>(body_.size() + 1));
    out.push_back(type_);
    return out + body_;
}

bool Write(HANDLE handle, const Packet& packet) {
    std::string bytes = packet.Bytes();
    const char* at = bytes.data();
    size_t left = bytes.size();
    while (left) {
        DWORD written = 0;
        if (!WriteFile(handle, at, static_cast<DWORD>(left), &written, nullptr) || !written)
            return false;
        at += written;
        left -= written;
    }
    return true;
}

bool ParseRecord(const std::string& bytes, size_t* at, Record* record) {
    if (bytes.size() - *at < 5) return false;
    uint32_t size = Get32(bytes, *at);
    if (size == 0 || size > kMaxRecord || bytes.size() - *at - 4 < size) return false;
    size_t pos = *at + 4, end = pos + size;
    record->type = bytes[pos++];
    record->fields.clear();
    while (pos < end) {
        if (end - pos < 4) return false;
        uint32_t length = Get32(bytes, pos);
        pos += 4;
        if (end - pos < length) return false;
        record->fields.push_back(bytes.substr(pos, length));
        pos += length;
    }
    *at = end;
    return true;
}

bool Reader::Fill(size_t needed) {
    if (buffer_.size() - at_ >= needed) return true;
    buffer_.erase(0, at_);
    at_ = 0;
    while (buffer_.size() < needed) {
        char chunk[65536];
        DWORD got = 0;
        if (!ReadFile(handle_, chunk, sizeof chunk, &got, nullptr) || got == 0) return false;
        buffer_.append(chunk, got);
    }
    return true;
}

bool Reader::Next(Record* record) {
    if (!Fill(4)) return false;
    uint32_t size = Get32(buffer_, at_);
    if (size == 0 || size > kMaxRecord || !Fill(4 + size)) return false;
    return ParseRecord(buffer_, &at_, record);
}

}  // namespace journal
