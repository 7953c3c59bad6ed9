// ConfigurePort: the seven port settings, all made even when one fails.
#include "library_test_support.h"

#include "module_state.h"
#include "xmodem_sender.h"

namespace ambrix_test {
namespace {

const char* const kSettings[] = {"FT_SetBaudRate", "FT_SetDataCharacteristics",
                                 "FT_SetFlowControl", "FT_ClrDtr", "FT_ClrRts", "FT_SetChars",
                                 "FT_SetTimeouts"};

class ConfigurePortTest : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        device_ = AddInstrument();
        ASSERT_EQ(FT_Open(device_, &deviceHandle), FT_OK);
        d2xxsim::ClearCalls();
    }
    void TearDown() override
    {
        FT_Close(deviceHandle);
        deviceHandle = nullptr;
        LibraryTest::TearDown();
    }
    int device_ = -1;
};

TEST_F(ConfigurePortTest, SevenSettingsInOrderWithTheirArguments)
{
    EXPECT_EQ(ConfigurePort(57600), 0);
    auto calls = d2xxsim::Calls();
    ASSERT_EQ(calls.size(), 7u);
    std::vector<std::vector<uint64_t>> arguments = {
        {57600}, {8, 0, 0}, {0, 0, 0}, {}, {}, {0, 0, 0, 0}, {1000, 1000}};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(calls[i].function, kSettings[i]);
        EXPECT_EQ(calls[i].device, device_);
        EXPECT_EQ(calls[i].arguments, arguments[i]) << kSettings[i];
    }
    // An unusual rate is passed on unchanged.
    d2xxsim::ClearCalls();
    ConfigurePort(12345);
    EXPECT_EQ(d2xxsim::CallsOf("FT_SetBaudRate")[0].arguments[0], 12345u);
}

TEST_F(ConfigurePortTest, AnyFailingSettingFailsButAllAreMade)
{
    for (const char* failing : kSettings) {
        d2xxsim::FailCall(device_, failing, FT_IO_ERROR);
        d2xxsim::ClearCalls();
        EXPECT_EQ(ConfigurePort(9600), 1) << failing;
        auto calls = d2xxsim::Calls();
        ASSERT_EQ(calls.size(), 7u) << failing;
        for (size_t i = 0; i < 7; ++i)
            EXPECT_EQ(calls[i].function, kSettings[i]);
        d2xxsim::FailCall(device_, failing, FT_OK);
    }
}

TEST_F(ConfigurePortTest, NoOpenDeviceMakesNoCall)
{
    FT_HANDLE opened = deviceHandle;
    deviceHandle = nullptr;
    EXPECT_EQ(ConfigurePort(9600), 0);
    EXPECT_TRUE(d2xxsim::Calls().empty());
    deviceHandle = opened;
}

}  // namespace
}  // namespace ambrix_test
