#include "isolation/helper_process.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace isolation {

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    std::wstring folder(path, length);
    size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

std::wstring HelperProgram(const wchar_t* stem, int bits, const std::wstring& folder) {
    std::wstring program = folder.empty() ? ProgramFolder() : folder;
    if (!program.empty() && program.back() != L'\\' && program.back() != L'/') program += L'\\';
    return program + stem + (bits == 64 ? L"64" : L"32") + L".exe";
}

bool EndHelpersWithThisProcess() {
    // The job's one handle is this process's for as long as it runs: the
    // system closes it after the process has ended, which ends the rest.
    static HANDLE job = nullptr;
    if (job) return true;
    HANDLE made = CreateJobObjectW(nullptr, nullptr);
    if (!made) return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits) ||
        !AssignProcessToJobObject(made, GetCurrentProcess())) {
        CloseHandle(made);
        return false;
    }
    job = made;
    return true;
}

bool HelperProcess::Start(const std::wstring& program, const std::wstring& arguments,
                          const HANDLE* inherit, size_t inheritCount) {
    return Start(program, arguments, inherit, inheritCount, StandardHandles());
}

bool HelperProcess::Start(const std::wstring& program, const std::wstring& arguments,
                          const HANDLE* named, size_t namedCount,
                          const StandardHandles& standard) {
    End(kExitEndedByHost);
    // Every handle inherited, each once: those named and the standard ones.
    std::vector<HANDLE> inherited(named, named + namedCount);
    for (HANDLE handle : {standard.input, standard.output, standard.error})
        if (handle && std::find(inherited.begin(), inherited.end(), handle) == inherited.end())
            inherited.push_back(handle);
    const HANDLE* inherit = inherited.data();
    const size_t inheritCount = inherited.size();
    std::wstring line = L"\"" + program + L"\" " + arguments;
    std::vector<wchar_t> commandLine(line.begin(), line.end());
    commandLine.push_back(0);

    // The handles to inherit are named in an attribute list, so that no
    // other inheritable handle of the host leaks into the helper.
    STARTUPINFOEXW startup;
    memset(&startup, 0, sizeof startup);
    startup.StartupInfo.cb = sizeof startup;
    if (standard.input || standard.output || standard.error) {
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = standard.input;
        startup.StartupInfo.hStdOutput = standard.output;
        startup.StartupInfo.hStdError = standard.error;
    }
    std::vector<unsigned char> attributes;
    DWORD flags = DETACHED_PROCESS;
    if (inheritCount) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributes.resize(size);
        startup.lpAttributeList =
            reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        if (!InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size)) return false;
        if (!UpdateProcThreadAttribute(startup.lpAttributeList, 0,
                                       PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                       const_cast<HANDLE*>(inherit),
                                       inheritCount * sizeof(HANDLE), nullptr, nullptr)) {
            DeleteProcThreadAttributeList(startup.lpAttributeList);
            return false;
        }
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof info);
    BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr,
                                  inheritCount ? TRUE : FALSE, flags, nullptr, nullptr,
                                  &startup.StartupInfo, &info);
    DWORD error = GetLastError();
    if (startup.lpAttributeList) DeleteProcThreadAttributeList(startup.lpAttributeList);
    if (!started) {
        SetLastError(error);
        return false;
    }
    process_.reset(info.hProcess);
    thread_.reset(info.hThread);
    return true;
}

bool HelperProcess::WaitEnded(DWORD milliseconds) const {
    return !process_.valid() || WaitForSingleObject(process_.get(), milliseconds) == WAIT_OBJECT_0;
}

HelperEnd HelperProcess::HowEnded(const Board* board, DWORD milliseconds) const {
    HelperEnd end;
    end.ended = WaitEnded(milliseconds);
    if (process_.valid()) GetExitCodeProcess(process_.get(), &end.exitCode);
    end.crashed = end.exitCode == kExitUnhandledException && ReadCrash(board, &end.crash);
    return end;
}

void HelperProcess::End(DWORD code, DWORD grace) {
    if (!process_.valid()) return;
    if (grace == 0 || !WaitEnded(grace)) {
        TerminateProcess(process_.get(), code);
        WaitEnded(kEndGrace);
    }
    process_.reset();
    thread_.reset();
}

bool HelperProcess::Terminate(DWORD code, DWORD milliseconds) {
    if (!process_.valid()) return true;
    TerminateProcess(process_.get(), code);
    return WaitEnded(milliseconds);
}

}  // namespace isolation
