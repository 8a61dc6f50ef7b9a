// The library's records in and out of the frames of remote/protocol.h:
// what the host (SpiRemoteFile) and the runner both convert, written once.
#ifndef SPIPROBE_PLUGIN_REMOTE_WIRE_H
#define SPIPROBE_PLUGIN_REMOTE_WIRE_H

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

#include "base/text.h"
#include "remote/protocol.h"
#include "spi_api.h"
#include "spi_fault.h"

namespace remote {

inline Request NewRequest(Op op) {
    Request request;
    memset(&request, 0, sizeof request);
    request.magic = kRequestMagic;
    request.op = static_cast<uint32_t>(op);
    return request;
}

// A name into a frame's field: false when it does not fit.
inline bool PutName(wchar_t (&field)[kNameChars], const wchar_t* text) {
    size_t length = text ? wcslen(text) : 0;
    if (length >= kNameChars) return false;
    if (length) memcpy(field, text, length * sizeof(wchar_t));
    field[length] = 0;
    return true;
}
inline bool PutName(wchar_t (&field)[kNameChars], const char* text) {
    std::wstring wide = WideFromAnsi(text);
    return PutName(field, wide.c_str());
}

// A name field of a frame, up to its NUL or the field's end.
inline std::wstring WideField(const wchar_t* text) {
    return std::wstring(text, wcsnlen(text, kNameChars));
}
inline std::string AnsiField(const wchar_t* text) {
    return AnsiFromWide(text, wcsnlen(text, kNameChars));
}

// Whether a 64-bit wire value fits this process's pointer-sized fields.
inline bool Fits(uint64_t value) { return value <= static_cast<uint64_t>(UINTPTR_MAX); }

// SpiFault into WireFault and back: the fields have the same names.
template <typename To, typename From>
To CopyFault(const From& from) {
    To to = To();
    to.kind = static_cast<decltype(to.kind)>(from.kind);
    to.code = from.code;
    to.access = from.access;
    to.overrun = from.overrun;
    to.address = static_cast<decltype(to.address)>(from.address);
    to.instruction = static_cast<decltype(to.instruction)>(from.instruction);
    return to;
}
inline WireFault ToWire(const SpiFault& fault) { return CopyFault<WireFault>(fault); }
inline SpiFault FromWire(const WireFault& wire) { return CopyFault<SpiFault>(wire); }

// PictureInfo without its handle into WirePicture, and back (hInfo is
// left alone): the fields have the same names on both sides.
template <typename To, typename From>
void CopyPicture(To& to, const From& from) {
    to.left = from.left;
    to.top = from.top;
    to.width = from.width;
    to.height = from.height;
    to.x_density = from.x_density;
    to.y_density = from.y_density;
    to.colorDepth = from.colorDepth;
}

// A record as its fields stand, hInfo and (x64) the pad included, and back.
inline void PutGivenPicture(WireGivenPicture& wire, const PictureInfo& info) {
    CopyPicture(wire.picture, info);
#if defined(_WIN64)
    memcpy(wire.pad, info.dummy, sizeof wire.pad);
#endif
    wire.hInfo = reinterpret_cast<uintptr_t>(info.hInfo);
}
inline void TakeGivenPicture(PictureInfo& info, const WireGivenPicture& wire) {
    CopyPicture(info, wire.picture);
#if defined(_WIN64)
    memcpy(info.dummy, wire.pad, sizeof info.dummy);
#endif
    info.hInfo = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(wire.hInfo));
}

// fileInfo into WireEntry, fileInfoW into WireEntryW, and back: the names'
// fields are of the same size on both sides.
template <typename Wire, typename Record>
void PutEntry(Wire& wire, const Record& entry) {
    static_assert(sizeof wire.path == sizeof entry.path, "path");
    static_assert(sizeof wire.filename == sizeof entry.filename, "filename");
    memcpy(wire.method, entry.method, sizeof wire.method);
    wire.position = entry.position;
    wire.compsize = entry.compsize;
    wire.filesize = entry.filesize;
    wire.timestamp = static_cast<int64_t>(entry.timestamp);
    memcpy(wire.path, entry.path, sizeof wire.path);
    memcpy(wire.filename, entry.filename, sizeof wire.filename);
    wire.crc = entry.crc;
}

template <typename Record, typename Wire>
void TakeEntry(Record& entry, const Wire& wire) {
    static_assert(sizeof wire.path == sizeof entry.path, "path");
    static_assert(sizeof wire.filename == sizeof entry.filename, "filename");
    memset(&entry, 0, sizeof entry);
    memcpy(entry.method, wire.method, sizeof entry.method);
    entry.position = static_cast<uintptr_t>(wire.position);
    entry.compsize = static_cast<uintptr_t>(wire.compsize);
    entry.filesize = static_cast<uintptr_t>(wire.filesize);
    entry.timestamp = static_cast<SpiTimestamp>(wire.timestamp);
    memcpy(entry.path, wire.path, sizeof entry.path);
    memcpy(entry.filename, wire.filename, sizeof entry.filename);
    entry.crc = wire.crc;
}

}  // namespace remote

#endif
