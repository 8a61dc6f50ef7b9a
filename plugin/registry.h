// Single-value registry access. Each call opens the key, reads or writes
// one value and closes the key again, so no key handle outlives a call.
// Results: 1 success, 0 failure (no error code, no message).
#ifndef SPIPROBE_PLUGIN_REGISTRY_H
#define SPIPROBE_PLUGIN_REGISTRY_H

#include <windows.h>

#include <cstdint>

// Reads the value into buffer (bufferSize bytes). Text types (REG_SZ,
// REG_EXPAND_SZ, REG_LINK, REG_MULTI_SZ) get a zero byte after the bytes
// returned; when those fill the buffer exactly, the zero replaces the last
// byte, so nothing is ever written past the buffer. Other types come back
// exactly as stored. A missing key or value gives 0 with the buffer
// untouched; a value larger than the buffer gives 0 and the buffer holds
// whatever the registry left in it.
//   char folder[520];
//   ReadRegistryValue(HKEY_CURRENT_USER, "Software\\x", "Path", folder, sizeof folder);
int32_t ReadRegistryValue(HKEY root, LPCSTR subKey, LPCSTR valueName, void* buffer,
                          uint32_t bufferSize);
// ReadRegistryValue with a buffer of 1024 bytes.
int32_t ReadRegistryValue1024(HKEY root, LPCSTR subKey, LPCSTR valueName, void* buffer);
// Stores size bytes of data as a value of the given type, creating the key
// and any missing keys above it.
int32_t WriteRegistryValue(HKEY root, LPCSTR subKey, LPCSTR valueName, uint32_t type,
                           const void* data, uint32_t size);
// Whether the value exists, with its type and its size in bytes (either
// pointer may be null). Lets a caller tell a missing value from one that
// does not fit its buffer.
int32_t QueryRegistryValue(HKEY root, LPCSTR subKey, LPCSTR valueName, uint32_t* type,
                           uint32_t* size);

#endif
