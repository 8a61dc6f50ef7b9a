// The channel between spicheck and the process of its own that runs the
// plug-in (a worker): the worker writes records of what it does (the file
// and the check it starts, each result, what the HTML page keeps of a file)
// to an inherited pipe; the call it is in and an exception no guard caught
// are on the helper's board (isolation/board.h), so that whatever ends the
// worker, spicheck knows which check and which call were running.
//
// A record is its size (4 bytes, little endian, of what follows), a type
// byte and fields, each a 4-byte size and its bytes. Fields hold text as it
// is (no escaping) and numbers in decimal.
#ifndef SPICHECK_JOURNAL_H
#define SPICHECK_JOURNAL_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace journal {

enum Type : char {
    kState = 'S',      // to the worker, on its standard input: where to go on
    kKind = 'K',       // the plug-in is loaded: "image" or "archive"
    kLoadFailed = 'X', // it is not: the error and the message
    kIdentity = 'I',   // after the plug-in's checks: version, page identity
    kFile = 'F',       // a file's checks start: its index
    kCheck = 'C',      // a check starts: its row
    kResult = 'R',     // verdict, row, file, reason
    kPage = 'P',       // what the HTML page keeps of the file just checked
    kSaveName = 'N',   // a name --save gave
    kHeapDamage = 'D', // the call just ended left a heap damaged
    kEnd = 'E',        // the run is complete
};

// A kResult record whose verdict is this tells of a check left out, with
// its reason.
constexpr long long kSkipVerdict = 3;

struct Record {
    char type = 0;
    std::vector<std::string> fields;
    // The field as a number (0 when absent or not a number).
    long long Number(size_t index) const;
    const std::string& Text(size_t index) const;
};

// Builds one record.
class Packet {
public:
    explicit Packet(char type) : type_(type) {}
    Packet& Add(const std::string& field);
    Packet& Add(long long number);
    std::string Bytes() const;

private:
    char type_;
    std::string body_;
};

// Writes records to a handle, whole or not at all as far as one WriteFile
// goes. Safe to use from the exception filter: no allocation beyond the
// record's own.
bool Write(HANDLE handle, const Packet& packet);

// Reads records from a handle.
class Reader {
public:
    explicit Reader(HANDLE handle) : handle_(handle) {}
    // False at the end of the pipe or on a malformed record.
    bool Next(Record* record);

private:
    bool Fill(size_t needed);
    HANDLE handle_;
    std::string buffer_;
    size_t at_ = 0;
};

// Parses the records of a byte string (a whole record set at once).
bool ParseRecord(const std::string& bytes, size_t* at, Record* record);

}  // namespace journal

#endif
