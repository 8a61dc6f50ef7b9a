// Registry helpers: one key opened and closed around each access.
#include "registry.h"

#include "win32_handles.h"

namespace {

// Opens a key for reading or creates one for writing; the owner is
// invalid when that failed.
UniqueRegKey OpenKey(HKEY root, LPCSTR subKey) {
    UniqueRegKey key;
    if (RegOpenKeyExA(root, subKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) key.release();
    return key;
}

UniqueRegKey CreateKey(HKEY root, LPCSTR subKey) {
    UniqueRegKey key;
    DWORD disposition = 0;
    if (RegCreateKeyExA(root, subKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                        &disposition) != ERROR_SUCCESS)
        key.release();
    return key;
}

bool IsTextType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_LINK || type == REG_MULTI_SZ;
}

}  // namespace

int32_t ReadRegistryValue(HKEY root, LPCSTR subKey, LPCSTR valueName, void* buffer,
                          uint32_t bufferSize) {
    DWORD type = REG_NONE;
    DWORD returned = bufferSize;
    LONG status;
    {
        UniqueRegKey key = OpenKey(root, subKey);
        if (!key.valid()) return 0;
        status = RegQueryValueExA(key.get(), valueName, nullptr, &type, static_cast<BYTE*>(buffer),
                                  &returned);
    }
    if (status != ERROR_SUCCESS) return 0;
    if (IsTextType(type) && bufferSize > 0) {
        BYTE* bytes = static_cast<BYTE*>(buffer);
        // A text that fills the buffer has no room left for the terminator:
        // it takes the place of the last byte rather than going past it.
        bytes[returned < bufferSize ? returned : bufferSize - 1] = 0;
    }
    return 1;
}

int32_t ReadRegistryValue1024(HKEY root, LPCSTR subKey, LPCSTR valueName, void* buffer) {
    return ReadRegistryValue(root, subKey, valueName, buffer, 1024);
}

int32_t WriteRegistryValue(HKEY root, LPCSTR subKey, LPCSTR valueName, uint32_t type,
                           const void* data, uint32_t size) {
    UniqueRegKey key = CreateKey(root, subKey);
    if (!key.valid()) return 0;
    return RegSetValueExA(key.get(), valueName, 0, type, static_cast<const BYTE*>(data), size) ==
                   ERROR_SUCCESS
               ? 1
               : 0;
}

int32_t QueryRegistryValue(HKEY root, LPCSTR subKey, LPCSTR valueName, uint32_t* type,
                           uint32_t* size) {
    UniqueRegKey key = OpenKey(root, subKey);
    if (!key.valid()) return 0;
    DWORD valueType = REG_NONE;
    DWORD valueSize = 0;
    if (RegQueryValueExA(key.get(), valueName, nullptr, &valueType, nullptr, &valueSize) !=
        ERROR_SUCCESS)
        return 0;
    if (type) *type = valueType;
    if (size) *size = valueSize;
    return 1;
}
