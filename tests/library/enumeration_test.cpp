// GetD2xxInstruments: which devices become entries, their labels and item data, the result.
#include "library_test_support.h"

namespace ambrix_test {
namespace {

struct ComboEntry {
    std::string label;
    LPARAM deviceNumber;
};

class EnumerationTest : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        box_ = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | CBS_DROPDOWNLIST, 0, 0, 100, 100,
                               nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(box_, nullptr);
        // Left over from an earlier listing; the call must clear it.
        SendMessageA(box_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("stale entry"));
    }
    void TearDown() override
    {
        DestroyWindow(box_);
        LibraryTest::TearDown();
    }
    std::vector<ComboEntry> Entries(HWND box = nullptr)
    {
        box = box ? box : box_;
        std::vector<ComboEntry> entries;
        LRESULT count = SendMessageA(box, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            char text[256] = {};
            SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
            entries.push_back({text, SendMessageA(box, CB_GETITEMDATA, static_cast<WPARAM>(i), 0)});
        }
        return entries;
    }
    // Every device that was opened was closed again.
    void ExpectAllClosed()
    {
        int opened = 0;
        for (const auto& call : d2xxsim::CallsOf("FT_Open"))
            opened += call.status == FT_OK;
        EXPECT_EQ(static_cast<int>(d2xxsim::CallsOf("FT_Close").size()), opened);
    }
    void AddThreeDevices()
    {
        d2xxsim::AddDevice({0x0BDA8153, "OTHER1", "Someone else's bridge"});
        AddInstrument("Trelvo X1", "TX0001");
        d2xxsim::AddDevice({kUnprogrammedId, "", ""});
    }
    HWND box_ = nullptr;
};

TEST_F(EnumerationTest, NoDeviceEmptiesTheBoxAndReturnsZero)
{
    EXPECT_EQ(GetD2xxInstruments(box_, 0, TRUE), 0);
    EXPECT_TRUE(Entries().empty());
    auto list = d2xxsim::CallsOf("FT_ListDevices");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].arguments, (std::vector<uint64_t>{0, FT_LIST_NUMBER_ONLY}));
    EXPECT_TRUE(d2xxsim::CallsOf("FT_Open").empty());
}

TEST_F(EnumerationTest, InstrumentAndUnprogrammedBridgeListedWithTheirDeviceNumbers)
{
    AddThreeDevices();
    EXPECT_EQ(GetD2xxInstruments(box_, 0, TRUE), 3);
    auto entries = Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].label, "Trelvo X1 - TX0001");
    EXPECT_EQ(entries[0].deviceNumber, 1);
    EXPECT_EQ(entries[1].label, "Unprogrammed FTDI FTD2XX device");
    EXPECT_EQ(entries[1].deviceNumber, 2);
    // Devices are visited in order, each opened, asked and closed; the reserved argument is null.
    auto opens = d2xxsim::CallsOf("FT_Open");
    ASSERT_EQ(opens.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(opens[static_cast<size_t>(i)].arguments[0], static_cast<uint64_t>(i));
    for (const auto& info : d2xxsim::CallsOf("FT_GetDeviceInfo"))
        EXPECT_EQ(info.arguments[0], 0u);
    ExpectAllClosed();
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(d2xxsim::IsOpen(i));
}

TEST_F(EnumerationTest, UnprogrammedBridgeLeftOutUnlessAskedFor)
{
    AddThreeDevices();
    EXPECT_EQ(GetD2xxInstruments(box_, 0, FALSE), 3);
    auto entries = Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].deviceNumber, 1);
    ExpectAllClosed();
}

TEST_F(EnumerationTest, ProductFilterUsesTheLowSixteenBits)
{
    AddInstrument();  // product 0x0002
    EXPECT_EQ(GetD2xxInstruments(box_, 0x0001, FALSE), 1);
    EXPECT_TRUE(Entries().empty());
    GetD2xxInstruments(box_, 0x0002, FALSE);
    EXPECT_EQ(Entries().size(), 1u);
    GetD2xxInstruments(box_, 0xFFFF0002, FALSE);
    EXPECT_EQ(Entries().size(), 1u);
    // Another maker's device with the same product ID is no instrument.
    d2xxsim::AddDevice({0x12340002, "X", "Foreign"});
    EXPECT_EQ(GetD2xxInstruments(box_, 0, TRUE), 2);
    EXPECT_EQ(Entries().size(), 1u);
}

TEST_F(EnumerationTest, ListFailureReturnsItsStatusWithTheBoxEmptied)
{
    d2xxsim::SetListDevicesStatus(FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(GetD2xxInstruments(box_, 0, TRUE), 2);
    EXPECT_TRUE(Entries().empty());
    EXPECT_TRUE(d2xxsim::CallsOf("FT_Open").empty());
    // Two attached devices give the same number: the host cannot tell them apart.
    d2xxsim::SetListDevicesStatus(FT_OK);
    d2xxsim::AddDevice({0x0BDA8153, "A", "A"});
    d2xxsim::AddDevice({0x0BDA8153, "B", "B"});
    EXPECT_EQ(GetD2xxInstruments(box_, 0, TRUE), 2);
}

TEST_F(EnumerationTest, BusyDevicesAndFailedInfoQueriesAreSkipped)
{
    int busy = AddInstrument("Busy one", "B1");
    d2xxsim::SetBusy(busy, true);
    int mute = d2xxsim::AddDevice({kUnprogrammedId, "", ""});
    d2xxsim::FailCall(mute, "FT_GetDeviceInfo", FT_IO_ERROR);
    AddInstrument("Free one", "F1");
    EXPECT_EQ(GetD2xxInstruments(box_, 0, TRUE), 3);
    auto entries = Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].label, "Free one - F1");
    EXPECT_EQ(entries[0].deviceNumber, 2);
    ExpectAllClosed();
    EXPECT_FALSE(d2xxsim::IsOpen(mute));
}

TEST_F(EnumerationTest, OverlongLabelIsCutToItsBuffer)
{
    std::string description(63, 'D');
    std::string serial(15, 'S');
    AddInstrument(description, serial);
    GetD2xxInstruments(box_, 0, FALSE);
    auto entries = Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].label, (description + " - " + serial).substr(0, 79));

    // A double-byte character that would straddle the cut is left out whole.
    std::string dbcsSerial = std::string(12, 'S') + "\x95\x5C" + "S";  // lead byte at label[78]
    AddInstrument(description, dbcsSerial);
    win32sim::SetAnsiCodePage(932);
    GetD2xxInstruments(box_, 0, FALSE);
    entries = Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].label, description + " - " + std::string(12, 'S'));
    // Without lead bytes in the code page the cut falls at 79 bytes.
    win32sim::SetAnsiCodePage(1252);
    GetD2xxInstruments(box_, 0, FALSE);
    EXPECT_EQ(Entries()[1].label, (description + " - " + dbcsSerial).substr(0, 79));
}

TEST_F(EnumerationTest, ItemDataStaysWithItsEntryInSortedAndUnsortedBoxes)
{
    d2xxsim::AddDevice({kInstrumentId, "1", "Zeta"});
    d2xxsim::AddDevice({kInstrumentId, "2", "Alpha"});
    d2xxsim::AddDevice({kInstrumentId, "3", "Mu"});
    HWND sorted = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | CBS_SORT, 0, 0, 1, 1, nullptr,
                                  nullptr, nullptr, nullptr);
    GetD2xxInstruments(sorted, 0, FALSE);
    auto entries = Entries(sorted);
    ASSERT_EQ(entries.size(), 3u);
    // The sorting box puts each entry where it belongs; its device number goes with it.
    EXPECT_EQ(entries[0].label, "Alpha - 2");
    EXPECT_EQ(entries[0].deviceNumber, 1);
    EXPECT_EQ(entries[1].label, "Mu - 3");
    EXPECT_EQ(entries[1].deviceNumber, 2);
    EXPECT_EQ(entries[2].label, "Zeta - 1");
    EXPECT_EQ(entries[2].deviceNumber, 0);
    DestroyWindow(sorted);

    GetD2xxInstruments(box_, 0, FALSE);
    entries = Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].label, "Zeta - 1");
    EXPECT_EQ(entries[0].deviceNumber, 0);
    EXPECT_EQ(entries[1].deviceNumber, 1);
    EXPECT_EQ(entries[2].deviceNumber, 2);
}

}  // namespace
}  // namespace ambrix_test
