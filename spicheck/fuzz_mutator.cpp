#include "fuzz_mutator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "file_bytes.h"

namespace {

const uint32_t kInteresting[] = {0,          1,          0xFFFFFFFFu, 0x7F,        0x80,
                                 0xFF,       0x7FFF,     0x8000,      0xFFFF,      0x7FFFFFFFu,
                                 0x80000000u, 0xFFFFFFFEu, 0x100,      0x10000};

// value in `width` bytes, little or big endian.
std::string Encode(uint64_t value, size_t width, bool bigEndian) {
    std::string out(width, '\0');
    for (size_t i = 0; i < width; ++i)
        out[bigEndian ? width - 1 - i : i] = static_cast<char>(value >> (8 * i));
    return out;
}

uint64_t Decode(const std::string& data, size_t at, size_t width, bool bigEndian) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i)
        value |= static_cast<uint64_t>(static_cast<unsigned char>(
                     data[at + (bigEndian ? width - 1 - i : i)]))
                 << (8 * i);
    return value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ReadDictionary(const std::string& path, std::vector<std::string>* tokens,
                    std::string* error) {
    std::string text;
    if (!ReadBytes(path, &text)) {
        *error = "cannot read the dictionary " + path;
        return false;
    }
    size_t start = 0;
    for (int line = 1; start < text.size(); ++line) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string row = text.substr(start, end - start);
        start = end + 1;
        while (!row.empty() && (row.back() == '\r' || row.back() == ' ' || row.back() == '\t'))
            row.pop_back();
        size_t first = row.find_first_not_of(" \t");
        if (first == std::string::npos || row[first] == '#') continue;
        size_t open = row.find('"');
        if (open == std::string::npos || row.size() < open + 2 || row.back() != '"') {
            *error = path + " line " + std::to_string(line) + ": not a \"token\"";
            return false;
        }
        std::string token;
        for (size_t i = open + 1; i + 1 < row.size(); ++i) {
            char c = row[i];
            if (c != '\\') {
                token += c;
                continue;
            }
            if (i + 2 < row.size() && (row[i + 1] == '\\' || row[i + 1] == '"')) {
                token += row[++i];
            } else if (i + 4 < row.size() && row[i + 1] == 'x' && HexDigit(row[i + 2]) >= 0 &&
                       HexDigit(row[i + 3]) >= 0) {
                token += static_cast<char>(HexDigit(row[i + 2]) * 16 + HexDigit(row[i + 3]));
                i += 3;
            } else {
                *error = path + " line " + std::to_string(line) + ": a bad escape";
                return false;
            }
        }
        if (!token.empty()) tokens->push_back(token);
    }
    return true;
}

void Mutator::AddToken(const std::string& token) {
    if (token.empty() || tokens_.size() >= 256) return;
    if (std::find(tokens_.begin(), tokens_.end(), token) == tokens_.end()) tokens_.push_back(token);
}

void Mutator::MutateOnce(std::string& data, FuzzRandom& random) {
    const size_t kinds = tokens_.empty() ? 13 : 15;
    for (;;) {
        size_t size = data.size();
        switch (random.Below(kinds)) {
            case 0:  // a bit flipped
                if (!size) break;
                {
                    size_t bit = random.Below(size * 8);
                    data[bit / 8] = static_cast<char>(data[bit / 8] ^ (1 << (bit % 8)));
                }
                return;
            case 1:  // a byte flipped
                if (!size) break;
                data[random.Below(size)] ^= static_cast<char>(0xFF);
                return;
            case 2:  // a random byte
                if (!size) break;
                data[random.Below(size)] = static_cast<char>(1 + random.Below(255));
                return;
            case 3:
            case 4: {  // an interesting value in 1, 2 or 4 bytes, either endian
                static const size_t widths[] = {1, 2, 4};
                size_t width = widths[random.Below(3)];
                if (size < width) break;
                uint64_t value = kInteresting[random.Below(sizeof kInteresting / sizeof kInteresting[0])];
                if (random.Below(2)) value = ~value + 1;  // its negative
                std::string bytes = Encode(value, width, random.Below(2) != 0);
                data.replace(random.Below(size - width + 1), width, bytes);
                return;
            }
            case 5: {  // a small addition or subtraction in 1, 2 or 4 bytes
                static const size_t widths[] = {1, 2, 4};
                size_t width = widths[random.Below(3)];
                if (size < width) break;
                size_t at = random.Below(size - width + 1);
                bool big = random.Below(2) != 0;
                uint64_t value = Decode(data, at, width, big);
                uint64_t delta = 1 + random.Below(35);
                value = random.Below(2) ? value + delta : value - delta;
                data.replace(at, width, Encode(value, width, big));
                return;
            }
            case 6: {  // a block deleted
                if (size < 2) break;
                size_t length = 1 + random.Below(std::min<size_t>(size - 1, 64));
                data.erase(random.Below(size - length + 1), length);
                return;
            }
            case 7: {  // a block duplicated in place
                if (!size || size >= maxSize_) break;
                size_t length = 1 + random.Below(std::min<size_t>(size, 64));
                length = std::min(length, maxSize_ - size);
                size_t from = random.Below(size - length + 1);
                data.insert(random.Below(size + 1), data.substr(from, length));
                return;
            }
            case 8: {  // a block of one random byte inserted
                if (size >= maxSize_) break;
                size_t length = std::min<size_t>(1 + random.Below(32), maxSize_ - size);
                data.insert(random.Below(size + 1),
                            std::string(length, static_cast<char>(random.Below(256))));
                return;
            }
            case 9: {  // a block copied over another
                if (size < 2) break;
                size_t length = 1 + random.Below(std::min<size_t>(size - 1, 64));
                std::string block = data.substr(random.Below(size - length + 1), length);
                data.replace(random.Below(size - length + 1), length, block);
                return;
            }
            case 10: {  // a block overwritten with one byte
                if (!size) break;
                size_t length = 1 + random.Below(std::min<size_t>(size, 32));
                size_t at = random.Below(size - length + 1);
                char fill = random.Below(2) ? static_cast<char>(data[random.Below(size)])
                                            : static_cast<char>(random.Below(256));
                memset(&data[at], fill, length);
                return;
            }
            case 11:  // cut short
                if (size < 2) break;
                data.resize(1 + random.Below(size - 1));
                return;
            case 12: {  // bytes appended
                if (size >= maxSize_) break;
                size_t length = std::min<size_t>(1 + random.Below(64), maxSize_ - size);
                data.append(length, static_cast<char>(random.Below(256)));
                return;
            }
            case 13: {  // a token written over
                const std::string& token = tokens_[random.Below(tokens_.size())];
                if (size < token.size()) break;
                data.replace(random.Below(size - token.size() + 1), token.size(), token);
                return;
            }
            case 14: {  // a token inserted
                const std::string& token = tokens_[random.Below(tokens_.size())];
                if (size + token.size() > maxSize_) break;
                data.insert(random.Below(size + 1), token);
                return;
            }
        }
    }
}

std::string Mutator::Havoc(const std::string& input, const std::string* other,
                           FuzzRandom& random) {
    std::string data = input;
    if (other && !other->empty() && data.size() > 1) {
        // Splice: the head of one entry, the tail of the other.
        size_t cut = 1 + random.Below(data.size() - 1);
        size_t from = random.Below(other->size());
        data = data.substr(0, cut) + other->substr(from);
        if (data.size() > maxSize_) data.resize(maxSize_);
    }
    size_t count = size_t(2) << random.Below(5);
    for (size_t i = 0; i < count; ++i) MutateOnce(data, random);
    return data;
}

std::vector<std::string> Mutator::InputToState(const std::string& input,
                                               const std::vector<spicov_cmp>& comparisons,
                                               size_t most) {
    std::vector<std::string> out;
    // Each comparison's first replacement, for the pairs below.
    struct Replacement {
        size_t at = std::string::npos;
        std::string bytes;
    };
    std::vector<Replacement> firsts;
    for (const spicov_cmp& c : comparisons) {
        firsts.emplace_back();
        size_t width = c.size;
        if (width != 1 && width != 2 && width != 4 && width != 8) continue;
        if (c.constant && width >= 2) {
            AddToken(Encode(c.a, width, false));
            AddToken(Encode(c.a, width, true));
        }
        // The observed operand is b for a comparison with a constant;
        // either may be for two variables.
        for (int way = 0; way < (c.constant ? 1 : 2); ++way) {
            uint64_t seen = way ? c.a : c.b;
            uint64_t wanted = way ? c.b : c.a;
            // A value the plug-in widened before comparing it stands in the
            // input in fewer bytes: the narrower widths both values fit.
            for (size_t w = width; w >= 1; w /= 2) {
                if (w < 8 && ((seen >> (8 * w)) || (wanted >> (8 * w)))) break;
                for (int big = 0; big < (w > 1 ? 2 : 1); ++big) {
                    std::string pattern = Encode(seen, w, big != 0);
                    std::string replacement = Encode(wanted, w, big != 0);
                    for (size_t at = input.find(pattern); at != std::string::npos;
                         at = input.find(pattern, at + 1)) {
                        Replacement& first = firsts.back();
                        if (first.at == std::string::npos) first = {at, replacement};
                        std::string candidate = input;
                        candidate.replace(at, w, replacement);
                        if (std::find(out.begin(), out.end(), candidate) == out.end())
                            out.push_back(candidate);
                        if (out.size() >= most) return out;
                    }
                }
                if (w == 1) break;
            }
        }
    }
    // Two comparisons in a row replaced at once: a compiler may join two
    // checks into one branch (clang does, for the last two of a chain),
    // and passing either alone then reaches nothing new.
    for (size_t i = 0; i + 1 < firsts.size() && out.size() < most; ++i) {
        const Replacement& one = firsts[i];
        const Replacement& two = firsts[i + 1];
        if (one.at == std::string::npos || two.at == std::string::npos) continue;
        if (one.at < two.at + two.bytes.size() && two.at < one.at + one.bytes.size()) continue;
        std::string candidate = input;
        candidate.replace(one.at, one.bytes.size(), one.bytes);
        candidate.replace(two.at, two.bytes.size(), two.bytes);
        if (std::find(out.begin(), out.end(), candidate) == out.end()) out.push_back(candidate);
    }
    return out;
}
