// The mutations of spicheck's fuzzing campaign, stacked several at a time
// as AFL's havoc stage does, and the input-to-state replacements made from
// the comparisons an instrumented plug-in failed. Everything is drawn from
// one seeded generator, so a campaign repeats exactly.
#ifndef SPICHECK_FUZZ_MUTATOR_H
#define SPICHECK_FUZZ_MUTATOR_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "spicov.h"

// xorshift64*: the same sequence on every machine for a seed.
class FuzzRandom {
public:
    explicit FuzzRandom(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {
        if (!state_) state_ = 1;
    }
    uint64_t Next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    // 0 to n - 1; 0 when n is 0.
    size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }

private:
    uint64_t state_;
};

// Reads a dictionary in AFL's format: one token a line, `name="value"` or
// `"value"`, with \\, \" and \xNN escapes; # starts a comment. False with
// a message naming the line when one cannot be read.
bool ReadDictionary(const std::string& path, std::vector<std::string>* tokens,
                    std::string* error);

class Mutator {
public:
    // maxSize: no mutation makes an input longer.
    explicit Mutator(size_t maxSize) : maxSize_(maxSize) {}

    // Tokens from --dict, and those learnt from comparisons.
    void AddToken(const std::string& token);
    const std::vector<std::string>& Tokens() const { return tokens_; }

    // A stack of 2 to 32 mutations of input; other: a second corpus entry
    // to splice with, or null.
    std::string Havoc(const std::string& input, const std::string* other, FuzzRandom& random);

    // The inputs made by writing, wherever an operand of a failed
    // comparison stands in input (1, 2, 4 or 8 bytes, little or big
    // endian), the other operand, then for each two comparisons in a row
    // both at once; at most `most`. Operands that are constants of 2
    // bytes or more become tokens.
    std::vector<std::string> InputToState(const std::string& input,
                                          const std::vector<spicov_cmp>& comparisons,
                                          size_t most);

private:
    void MutateOnce(std::string& data, FuzzRandom& random);
    size_t maxSize_;
    std::vector<std::string> tokens_;
};

#endif
