// What a runner survives for its host: each fault plug-in in each runner
// gives the fault result with what happened in LastFault(), the next call
// works on a fresh runner, and no runner outlives its object or its host.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "remote_test_support.h"
#include "base/process_probes.h"
#include "spiplugin.h"
#include "test_support.h"

namespace {

const char kChildVariable[] = "SPITEST_REMOTE_CHILD";

uint16_t ControlWord() {
    uint16_t word = 0;
    asm volatile("fnstcw %0" : "=m"(word));
    return word;
}

std::string Sample() { return std::string(SPI_SAMPLE_SIZE, 'x'); }

class RemoteFaults : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { SKIP_UNLESS_MACHINE_RUNS(GetParam()); }
    void TearDown() override { EXPECT_EQ(0, RunnerProcessCount()) << "a runner was left behind"; }
    std::string Plugin(const std::string& fault) const {
        return PluginOfBits(fault.empty() ? "runner_faults" : "runner_faults_" + fault, GetParam());
    }
    // GetPicture on a plug-in that faults there, then a call that works.
    SpiFault FaultOf(const std::string& fault, DWORD deadline = 0) {
        SpiRemoteFile remote;
        remote.SetDeadline(deadline);
        EXPECT_EQ(1, remote.Load(nullptr, Plugin(fault).c_str()));
        DWORD first = remote.RunnerProcessId();
        HLOCAL info = nullptr, bits = nullptr;
        EXPECT_EQ(SPI_INTERNAL_ERROR,
                  remote.GetPicture("a.rft", 0, 0, &info, &bits, nullptr, 0));
        EXPECT_EQ(nullptr, info);
        EXPECT_EQ(nullptr, bits);
        SpiFault fault_seen = remote.LastFault();
        std::string sample = Sample();
        EXPECT_EQ(1, remote.IsSupported("a.rft", &sample[0]));
        EXPECT_EQ(SpiFaultKind::None, remote.LastFault().kind);
        if (fault_seen.kind >= SpiFaultKind::RunnerExited) {
            EXPECT_NE(first, remote.RunnerProcessId()) << "the runner was not started afresh";
        }
        return fault_seen;
    }
};

TEST_P(RemoteFaults, AnEscapingCxxExceptionIsOneFailedCall) {
    SpiFault fault = FaultOf("throw");
    if (GetParam() == 32) {
        // The plug-in's runtime ends the process, as it would end the host.
        EXPECT_EQ(SpiFaultKind::RunnerExited, fault.kind);
        EXPECT_EQ(3u, fault.code);
    } else {
        // The guard catches it inside the runner.
        EXPECT_EQ(SpiFaultKind::Exception, fault.kind);
        EXPECT_EQ(0x20474343u, fault.code);
    }
}

TEST_P(RemoteFaults, ExitProcessEndsOnlyTheRunner) {
    SpiFault fault = FaultOf("exit");
    EXPECT_EQ(SpiFaultKind::RunnerExited, fault.kind);
    EXPECT_EQ(42u, fault.code);
}

TEST_P(RemoteFaults, ACallThatNeverReturnsMissesItsDeadline) {
    DWORD started = GetTickCount();
    SpiFault fault = FaultOf("hang", 800);
    EXPECT_EQ(SpiFaultKind::RunnerTimeout, fault.kind);
    EXPECT_EQ(800u, fault.waited);
    EXPECT_LT(GetTickCount() - started, 10000u);
}

TEST_P(RemoteFaults, AHeapOverrunIsCaughtAfterTheCall) {
    SpiFault fault = FaultOf("heap");
    EXPECT_EQ(SpiFaultKind::HeapDamage, fault.kind);
}

TEST_P(RemoteFaults, AFaultNoGuardSeesNamesItsException) {
    // A thread of the plug-in's own writes through a null pointer.
    SpiFault fault = FaultOf("thread");
    EXPECT_EQ(SpiFaultKind::RunnerException, fault.kind);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), fault.code);
    EXPECT_EQ(1, fault.access);
    EXPECT_EQ(0u, fault.address);
}

TEST_P(RemoteFaults, ACrashInTheUnloadCodeLeavesTheObjectUsable) {
    // The unload code faults: whatever the loader does with it, the
    // object releases, ends its runner and loads again for the next call.
    SpiRemoteFile remote;
    ASSERT_EQ(1, remote.Load(nullptr, Plugin("detach").c_str()));
    PictureInfo info;
    EXPECT_EQ(0, remote.GetPictureInfo("a.rft", 0, 0, &info));
    EXPECT_EQ(1, remote.Unload());
    EXPECT_EQ(0, remote.RunnerProcessId());
    EXPECT_EQ(0, remote.GetPictureInfo("a.rft", 0, 0, &info));
    EXPECT_EQ(1, info.width);
}

TEST_P(RemoteFaults, WritesToTheConsoleNeverReachTheHost) {
    TempDir scratch;
    std::string path = scratch.File("out");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file.get());
    SetStdHandle(STD_ERROR_HANDLE, file.get());
    int32_t result = -100;
    {
        SpiRemoteFile remote;
        if (remote.Load(nullptr, Plugin("console").c_str())) {
            HLOCAL info = nullptr, bits = nullptr;
            result = remote.GetPicture("a.rft", 0, 0, &info, &bits, nullptr, 0);
            FreeLiveLocal(info);
            FreeLiveLocal(bits);
        }
    }
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    SetStdHandle(STD_ERROR_HANDLE, err);
    file.reset();
    EXPECT_EQ(0, result);
    EXPECT_EQ("", ReadBytes(path));
}

TEST_P(RemoteFaults, TheFpuControlWordOfTheHostStaysAsItWas) {
    uint16_t before = ControlWord();
    SpiRemoteFile remote;
    ASSERT_EQ(1, remote.Load(nullptr, Plugin("fpu").c_str()));
    HLOCAL info = nullptr, bits = nullptr;
    EXPECT_EQ(0, remote.GetPicture("a.rft", 0, 0, &info, &bits, nullptr, 0));
    EXPECT_NE(nullptr, bits);
    FreeLiveLocal(info);
    FreeLiveLocal(bits);
    EXPECT_EQ(before, ControlWord());
    // In the runner the plug-in's own word stays, as it would in process.
    PictureInfo picture;
    EXPECT_EQ(0, remote.GetPictureInfo("a.rft", 0, 0, &picture));
    EXPECT_EQ(0x0C60 & 0x1F3F, picture.x_density & 0x1F3F);
}

TEST_P(RemoteFaults, AKilledHostTakesItsRunnerAlong) {
    TempDir scratch;
    std::string pidFile = scratch.File("runner.pid");
    ScopedEnv child(kChildVariable, (pidFile + "|" + Plugin("hang")).c_str());
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string line = std::string("\"") + self + "\" --gtest_filter=RemoteHostChild.*";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    UniqueKernelHandle host(process.hProcess), thread(process.hThread);
    DWORD runner = 0;
    for (int n = 0; n < 200 && !runner; ++n) {
        Sleep(50);
        std::string text = ReadBytes(pidFile);
        if (!text.empty() && text.back() == '\n') runner = strtoul(text.c_str(), nullptr, 10);
    }
    ASSERT_NE(0u, runner) << "the child host never started its runner";
    UniqueKernelHandle runnerProcess(OpenProcess(SYNCHRONIZE, FALSE, runner));
    ASSERT_TRUE(runnerProcess.valid());
    Sleep(200);  // the runner is inside the call that never returns
    TerminateProcess(host.get(), 9);
    WaitForSingleObject(host.get(), INFINITE);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(runnerProcess.get(), 5000));
}

// A host callback that cancels at its cancelAt-th call and sees the
// plug-in's callbacks in their order.
struct Cancel {
    int calls = 0;
    int cancelAt = 1;
    int32_t lastNum = 0;
    bool ordered = true;
};

int32_t SPI_API CancelAt(int32_t num, int32_t, intptr_t data) {
    Cancel* cancel = reinterpret_cast<Cancel*>(data);
    if (num < cancel->lastNum) cancel->ordered = false;
    cancel->lastNum = num;
    return ++cancel->calls >= cancel->cancelAt ? 1 : 0;
}

TEST_P(RemoteFaults, APostedCancelStopsThePluginAtItsNextCallback) {
    // The plug-in calls back until it is answered non-zero: the cancel of
    // the host's callback must reach it through the shared answer, since
    // it would otherwise go on for 5,000,000 callbacks and return 0.
    SpiRemoteFile remote;
    remote.SetPostedProgress(true);
    ASSERT_EQ(1, remote.Load(nullptr, Plugin("endless").c_str()));
    DWORD runner = remote.RunnerProcessId();
    for (int cancelAt : {1, 3}) {
        SCOPED_TRACE(cancelAt);
        Cancel cancel;
        cancel.cancelAt = cancelAt;
        HLOCAL info = nullptr, bits = nullptr;
        EXPECT_EQ(SPI_ABORT, remote.GetPicture("a.rft", 0, 0, &info, &bits, CancelAt,
                                               reinterpret_cast<intptr_t>(&cancel)));
        EXPECT_EQ(nullptr, info);
        EXPECT_EQ(nullptr, bits);
        EXPECT_GE(cancel.calls, cancelAt);
        EXPECT_TRUE(cancel.ordered) << "a callback saw an older progress after a newer one";
        EXPECT_EQ(SpiFaultKind::None, remote.LastFault().kind);
    }
    // The runner took both calls, and the next call answers 0 again.
    EXPECT_EQ(runner, remote.RunnerProcessId());
    PictureInfo picture;
    EXPECT_EQ(0, remote.GetPictureInfo("a.rft", 0, 0, &picture));
}

TEST_P(RemoteFaults, ARunnerEndingWhileItPostsIsOneFailedCall) {
    // The host waits for the answer and the posts at once: the runner's
    // end must still be seen.
    SpiRemoteFile remote;
    remote.SetPostedProgress(true);
    ASSERT_EQ(1, remote.Load(nullptr, Plugin("exit").c_str()));
    Cancel never;
    never.cancelAt = 1 << 30;
    HLOCAL info = nullptr, bits = nullptr;
    EXPECT_EQ(SPI_INTERNAL_ERROR, remote.GetPicture("a.rft", 0, 0, &info, &bits, CancelAt,
                                                    reinterpret_cast<intptr_t>(&never)));
    EXPECT_EQ(SpiFaultKind::RunnerExited, remote.LastFault().kind);
    EXPECT_EQ(42u, remote.LastFault().code);
    EXPECT_EQ(nullptr, bits);
}

struct Killer {
    volatile LONG stop = 0;
    LONG kills = 0;
};

// Ends a runner now and then, at whatever point its host has reached.
DWORD WINAPI KillRunners(void* context) {
    Killer* killer = static_cast<Killer*>(context);
    unsigned seed = 12345;
    while (!killer->stop) {
        seed = seed * 1103515245 + 12345;
        Sleep(10 + (seed >> 16) % 100);
        UniqueKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32 entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot.get(), &entry); more;
             more = Process32Next(snapshot.get(), &entry)) {
            if (lstrcmpiA(entry.szExeFile, "spirunner32.exe") != 0 &&
                lstrcmpiA(entry.szExeFile, "spirunner64.exe") != 0)
                continue;
            UniqueKernelHandle runner(OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
            if (runner.valid() && TerminateProcess(runner.get(), 0xDEAD)) ++killer->kills;
        }
    }
    return 0;
}

TEST_P(RemoteFaults, AThousandCallsWithTheRunnerKilledAtRandomPoints) {
    std::string picture = FixturePath("bmp", "info8.bmp");
    PictureInfo expected;
    {
        SpiDllFile local;
        ASSERT_EQ(1, local.Load(nullptr, "bmp" SPI_EXT));
        ASSERT_EQ(0, local.GetPictureInfo(picture.c_str(), 0, 0, &expected));
    }
    // What the system sets up on first use (a snapshot, a second thread, a
    // child process) stays for the process's life: set up before counting.
    RunnerProcessCount();
    {
        SpiRemoteFile warm;
        ASSERT_EQ(1, warm.Load(nullptr, PluginOfBits("bmp", GetParam()).c_str()));
    }
    Killer idle;
    idle.stop = 1;
    UniqueKernelHandle(CreateThread(nullptr, 0, KillRunners, &idle, 0, nullptr)).get();
    Sleep(100);
    long handlesBefore = KernelHandleCount();
    int correct = 0, failed = 0, failedStarts = 0;
    std::string startErrors;  // what the system said to each failed start
    Killer killer;
    {
        SpiRemoteFile remote;
        ASSERT_EQ(1, remote.Load(nullptr, PluginOfBits("bmp", GetParam()).c_str()));
        UniqueKernelHandle thread(CreateThread(nullptr, 0, KillRunners, &killer, 0, nullptr));
        // Stops at the first wrong answer, so that the killer stops too.
        for (int n = 0; n < 1000; ++n) {
            PictureInfo info;
            int32_t result = remote.GetPictureInfo(picture.c_str(), 0, 0, &info);
            const SpiFault& fault = remote.LastFault();
            // A runner killed while the system starts it fails its start.
            if (result == SPI_INTERNAL_ERROR &&
                ((fault.kind == SpiFaultKind::RunnerExited && fault.code == 0xDEAD) ||
                 fault.kind == SpiFaultKind::RunnerStart)) {
                ++failed;
                if (fault.kind == SpiFaultKind::RunnerStart) {
                    ++failedStarts;
                    startErrors += " " + std::to_string(fault.code);
                }
            } else if (result == 0 && memcmp(&expected, &info, sizeof info) == 0) {
                ++correct;
            } else {
                ADD_FAILURE() << "call " << n << ": result " << result << ", fault kind "
                              << static_cast<int>(fault.kind) << " code " << fault.code;
                break;
            }
        }
        killer.stop = 1;
        WaitForSingleObject(thread.get(), INFINITE);
    }
    EXPECT_GT(killer.kills, 1);
    EXPECT_LE(failed, killer.kills) << failedStarts << " failed starts, errors:" << startErrors;
    EXPECT_EQ(1000, correct + failed);
    EXPECT_EQ(handlesBefore, KernelHandleCount()) << failedStarts << " failed starts";
}

INSTANTIATE_TEST_SUITE_P(Bitness, RemoteFaults, ::testing::Values(32, 64),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Runner" + std::to_string(info.param);
                         });

// The host of AKilledHostTakesItsRunnerAlong, run as a child process: it
// names its runner and then waits in a call that never returns.
TEST(RemoteHostChild, WaitsInAHangingCall) {
    const char* job = getenv(kChildVariable);
    if (!job) GTEST_SKIP() << "run by AKilledHostTakesItsRunnerAlong";
    std::string text = job;
    std::string pidFile = text.substr(0, text.find('|')), plugin = text.substr(text.find('|') + 1);
    SpiRemoteFile remote;
    remote.SetDeadline(60000);
    ASSERT_EQ(1, remote.Load(nullptr, plugin.c_str()));
    WriteBytes(pidFile, std::to_string(remote.RunnerProcessId()) + "\n");
    HLOCAL info = nullptr, bits = nullptr;
    remote.GetPicture("a.rft", 0, 0, &info, &bits, nullptr, 0);
}

}  // namespace
