// orvo-asio-host as a program: options, output and exit code.

#include "host_fixture.h"

#include <fstream>
#include <string>

namespace {

struct HostProgram : HostFixture {
    std::pair<std::string, int> run(const std::string& arguments) const
    {
        return runProgram(ASIO_HOST_PROGRAM, arguments);
    }
};

TEST_F(HostProgram, LoadsTheRegisteredDriverAndUnloadsIt)
{
    ASSERT_TRUE(orvo::machine::installAsioDriver(FAKE_ASIO_DRIVER));
    registerDriver(u"Orvo QX-1600", kSlot3);
    const std::string recording = (machine.root.path / "input.raw").string();
    const auto [output, code] = run("--driver 'Orvo QX-1600' --seconds 0.2 --buffers --signal ramp --record '" +
                                    recording + "'");
    EXPECT_EQ(code, 0) << output;
    // Input channel 0 as the stand-in driver fills it: channel 1 in the top byte, then the frame.
    std::ifstream in(recording, std::ios::binary);
    std::vector<int32_t> samples(128);
    in.read(reinterpret_cast<char*>(samples.data()), 128 * sizeof(int32_t));
    ASSERT_EQ(in.gcount(), 128 * 4) << "two blocks recorded";
    for (int32_t i = 0; i < 128; ++i)
        EXPECT_EQ(samples[i], 1 << 24 | i);
    for (const char* line : {"driver Orvo QX-1600: class {417FE590-DED3-48FE-8843-278DAD5F49FC}\n",
                             "init: ASIOTrue\n", "createBuffers: 0\n", "start: 0\n", "Release: 0\n",
                             "DllCanUnloadNow: S_OK\n", "library unloaded\n"})
        EXPECT_NE(output.find(line), std::string::npos) << line << output;
}

TEST_F(HostProgram, FailsWithoutARegisteredDriver)
{
    const auto [output, code] = run("--seconds 0");
    EXPECT_EQ(code, 1);
    EXPECT_NE(output.find("no ASIO driver is registered"), std::string::npos) << output;
    EXPECT_EQ(run("--bogus").second, 2);
}

} // namespace
