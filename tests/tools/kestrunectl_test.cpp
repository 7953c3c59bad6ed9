// kestrunectl as a user runs it: command lines against the simulated PC with loopback
// instruments, checked by exit code and by what the program prints.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out, err;
};

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("kestrunectl_test_" + std::to_string(::getpid()) + "_" + name))
        .string();
}

// Runs kestrunectl with the instruments given (KESTRUNECTL_INSTRUMENTS) under a 30 s limit.
ToolRun RunTool(const std::string& instruments, const std::string& arguments) {
    std::string out = TempPath("out"), err = TempPath("err");
    std::string command = "KESTRUNECTL_INSTRUMENTS='" + instruments + "' timeout 30 " +
                          KESTRUNECTL_PATH + " " + arguments + " >" + out + " 2>" + err;
    int status = std::system(command.c_str());
    ToolRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadAll(out);
    run.err = ReadAll(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

struct Case {
    const char* what;
    const char* instruments;
    const char* arguments;
    int exitCode;
    std::vector<const char*> out; // each must appear in stdout, in this order
    std::vector<const char*> err; // each must appear in stderr
};

const char* const kGuid = "#{54654e76-dcf7-4a7f-878a-4e8fca0acc9a}";

std::string Device(const char* product, const char* serial, const char* dosName) {
    return std::string("\\\\?\\USB#VID_2A4B&PID_") + product + "#" + serial + kGuid +
           "\n   DOS name " + dosName + "  vendor 2A4B  product " + product + "  serial number " +
           serial;
}

class KestrunectlTest : public ::testing::TestWithParam<Case> {};

TEST_P(KestrunectlTest, PrintsWhatTheUserNeedsAndExitsAccordingly) {
    const Case& c = GetParam();
    ToolRun run = RunTool(c.instruments, c.arguments);
    ASSERT_NE(run.exitCode, 124) << "kestrunectl " << c.arguments << " did not end within 30 s";
    EXPECT_NE(run.exitCode, 70) << "the driver verifier found faults:\n" << run.err;
    EXPECT_EQ(run.exitCode, c.exitCode) << "stdout:\n" << run.out << "stderr:\n" << run.err;
    size_t at = 0;
    for (const char* text : c.out) {
        size_t found = run.out.find(text, at);
        EXPECT_NE(found, std::string::npos) << "missing in stdout: " << text << "\nstdout:\n"
                                            << run.out;
        if (found != std::string::npos)
            at = found;
    }
    for (const char* text : c.err)
        EXPECT_NE(run.err.find(text), std::string::npos)
            << "missing in stderr: " << text << "\nstderr:\n"
            << run.err;
}

// Serial numbers are given in the order the instruments are plugged in.
const std::string kFour = Device("0004", "KS0001", "\\\\.\\trelvousb3");
const std::string kTwo = Device("0002", "KS0002", "\\\\.\\trelvousb1");
const std::string kThree = Device("0003", "KS0003", "\\\\.\\trelvousb2");
const std::string kFirst = Device("0002", "KS0001", "\\\\.\\trelvousb1");
const std::string kOther = Device("0010", "KS0002", "\\\\.\\trelvousb");
const std::string kNone = Device("0011", "KS0003", "(none)");

INSTANTIATE_TEST_SUITE_P(
    Commands, KestrunectlTest,
    ::testing::Values(
        Case{"help", "0x0002", "--help", 0, {"usage: kestrunectl", "reset-pipe PIPE", "bench"}, {}},
        Case{"command help",
             "0x0002",
             "help loop",
             0,
             {"usage: kestrunectl [--device DEVICE] loop LENGTH", "compares"},
             {}},
        Case{"unknown command", "0x0002", "frobnicate", 2, {}, {"unknown command frobnicate"}},
        Case{"each DOS name found on its device",
             "0x0004,0x0002,0x0003",
             "list",
             0,
             {kFour.c_str(), kTwo.c_str(), kThree.c_str()},
             {}},
        // Other products share the plain name: the second one gets none.
        Case{"products with the plain DOS name",
             "0x0002,0x0010,0x0011",
             "list",
             0,
             {kFirst.c_str(), kOther.c_str(), kNone.c_str()},
             {}},
        Case{"info",
             "0x0002",
             "info",
             0,
             {"manufacturer   Trelvo", "serial number  KS0001", "version 27010 (0x6982)",
              "read chunk 65536, write chunk 2048", "partial reads off",
              "pipe 0: endpoint 0x81 IN  bulk, max packet 512",
              "pipe 1: endpoint 0x02 OUT bulk, max packet 512"},
             {}},
        Case{"info of a device that refuses large chunks",
             "0x0002:slow",
             "info",
             0,
             {"read chunk 2048,"},
             {}},
        Case{"info by DOS name",
             "0x0010,0x0003",
             "--device trelvousb2 info",
             0,
             {"device         \\\\.\\trelvousb2", "serial number  KS0002"},
             {}},
        Case{"a DOS name nobody has",
             "0x0002",
             "--device trelvousb3 info",
             1,
             {},
             {"opening \\\\.\\trelvousb3: The system cannot find the file specified"}},
        Case{"write and read back",
             "0x0002",
             "write 1 --hex 01:02:ff --then read 0 3",
             0,
             {"wrote 3 bytes to pipe 1", "00000000  01 02 ff"},
             {}},
        Case{"pipes by a path template",
             "0x0002",
             "--pipe-path '\\\\.\\trelvousb1\\pipe{pipe}' write 1 --text xy --then read 0 2",
             0,
             {"wrote 2 bytes to pipe 1", "78 79"},
             {}},
        Case{"a path template that leads nowhere",
             "0x0002",
             "--pipe-path '\\\\.\\nothing{pipe}' read 0 1",
             1,
             {},
             {"opening pipe 0: The system cannot find the file specified"}},
        Case{"a read that gets nothing times out",
             "0x0002",
             "read 0 4 --timeout 200",
             1,
             {},
             {"reading pipe 0 after 0 of 4 bytes: The semaphore timeout period has expired"}},
        // The cancelled read hands over the 3 bytes that were there; the rest never comes.
        Case{"a read cut short keeps what arrived",
             "0x0002",
             "write 1 --text abc --then read 0 10 --timeout 300",
             1,
             {"61 62 63", "abc"},
             {"after 3 of 10 bytes"}},
        Case{"partial reads",
             "0x0002",
             "options --partial-reads on --then write 1 --text abc --then read 0 3 --then "
             "options 0 --then options",
             0,
             {"partial reads on", "61 62 63", "options 0x00000000 (partial reads off)"},
             {}},
        Case{"clear drops buffered bytes",
             "0x0002",
             "write 1 --text abc --then read 0 1 --then clear --then read 0 2 --timeout 200",
             1,
             {"00000000  61", "read-ahead buffer cleared"},
             {"after 0 of 2 bytes"}},
        Case{"chunk sizes",
             "0x0002",
             "chunk read 512 --then chunk write 4096 --then chunk",
             0,
             {"read chunk 512", "write chunk 4096", "read chunk 512 bytes\nwrite chunk 4096"},
             {}},
        Case{"chunk size out of range", "0x0002", "chunk read 65537", 2, {}, {"chunk takes"}},
        Case{"resets",
             "0x0002",
             "reset-pipe 0 --then reset-port",
             0,
             {"pipe 0 reset", "port reset"},
             {}},
        Case{"reset of a pipe the interface lacks",
             "0x0002",
             "reset-pipe 4",
             1,
             {},
             {"The device does not recognize the command"}},
        Case{"loop",
             "0x0002",
             "loop 300000",
             0,
             {"300000 bytes written to pipe 1 and read back from pipe 0, identical"},
             {}},
        Case{"loop with small blocks", "0x0002", "loop 5000 --block 100", 0, {"identical"}, {}},
        Case{"loop on a device that keeps its data",
             "0x0002:noloop",
             "loop 1000 --timeout 200",
             1,
             {},
             {"reading pipe 0 at byte 0"}},
        Case{"bench",
             "0x0002",
             "bench --total 2097152",
             0,
             {"write 2097152 bytes in", "of 53.248 MB/s", "read  2097152 bytes in",
              "of 53.248 MB/s"},
             {}}),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name;
        for (const char* c = info.param.what; *c; ++c)
            name.push_back(std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_');
        return name;
    });

// Files in and out, across the 65536-byte transfer limit.
TEST(KestrunectlFiles, AFileWrittenToTheLoopbackComesBackIdentical) {
    std::string in = TempPath("in.bin"), out = TempPath("out.bin");
    std::string data;
    for (int i = 0; i < 150000; ++i)
        data.push_back(static_cast<char>((i * 13) ^ (i >> 9)));
    std::ofstream(in, std::ios::binary) << data;
    ToolRun run = RunTool("0x0002", "write 1 --file " + in + " --then read 0 150000 --file " + out);
    ASSERT_NE(run.exitCode, 124) << "kestrunectl did not end within 30 s";
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("read 150000 bytes into"), std::string::npos) << run.out;
    EXPECT_TRUE(ReadAll(out) == data) << "the file read back differs from the one written";
    std::remove(in.c_str());
    std::remove(out.c_str());
}

// Output that cannot be written (stdout on a full device) fails the run with a message, on each
// way the program ends after printing: general help, a command's help, a command.
TEST(KestrunectlOutput, OutputThatCannotBeWrittenFailsTheRun) {
    for (const char* arguments : {"--help", "help list", "list", "info"}) {
        std::string err = TempPath("err");
        std::string command = std::string("KESTRUNECTL_INSTRUMENTS=0x0002 timeout 30 ") +
                              KESTRUNECTL_PATH + " " + arguments + " >/dev/full 2>" + err;
        int status = std::system(command.c_str());
        int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::string text = ReadAll(err);
        std::remove(err.c_str());
        ASSERT_NE(exitCode, 124) << "kestrunectl " << arguments << " did not end within 30 s";
        EXPECT_EQ(exitCode, 1) << "kestrunectl " << arguments << "\nstderr:\n" << text;
        EXPECT_NE(text.find("kestrunectl: writing the output failed"), std::string::npos)
            << "kestrunectl " << arguments << "\nstderr:\n" << text;
    }
}

} // namespace
