// File names at create: any UTF-16 units, any length, opened on a started device (kept across
// inputs) and, now and then, on a stopped one. Each open is held against the name rule written
// out here on its own: the last run of decimal digits names the pipe, 0 to 5 and below the
// interface's pipe count; an empty name is the device itself. The handle counts and the pipe
// table follow every open and close.
#include "driver_fuzz_support.h"

using namespace kestrune_fuzz;

namespace {

const LONG kNone = -1;

// The pipe a name addresses, or kNone; `wrapped` is set when the digit run only lands on a
// pipe after 32-bit wrap-around, where refusing and accepting are both sound.
LONG ExpectedIndex(const std::u16string& name, LONG* wrapped) {
    *wrapped = kNone;
    size_t last = name.size();
    while (last > 0 && !(name[last - 1] >= u'0' && name[last - 1] <= u'9')) {
        --last;
    }
    if (last == 0) {
        return kNone;
    }
    size_t first = last - 1;
    while (first > 0 && name[first - 1] >= u'0' && name[first - 1] <= u'9') {
        --first;
    }
    bool big = false;
    uint64_t exact = 0;
    uint32_t modular = 0;
    for (size_t i = first; i < last; ++i) {
        uint32_t digit = name[i] - u'0';
        modular = modular * 10 + digit;
        if (!big) {
            exact = exact * 10 + digit;
            big = exact > 0xFFFFFFFFull;
        }
    }
    if (big && modular <= 5) {
        *wrapped = static_cast<LONG>(modular);
    }
    return !big && exact <= 5 ? static_cast<LONG>(exact) : kNone;
}

std::u16string NameFrom(Input& in) {
    std::u16string name;
    uint8_t shape = in.Byte();
    if (shape % 4 == 0) { // a long name: a unit repeated, then the rest of the input
        size_t repeat = in.Word() % 32000;
        name.assign(repeat, static_cast<char16_t>(in.Word()));
    }
    while (!in.Empty() && name.size() < 32700) {
        uint8_t kind = in.Byte();
        if (kind < 96) {
            name.push_back(static_cast<char16_t>(u'0' + kind % 10));
        } else if (kind < 128) {
            name.push_back(u"\\ep"[kind % 3]);
        } else if (kind < 250) {
            name.push_back(static_cast<char16_t>(in.Word()));
        } else {
            break;
        }
    }
    return name;
}

PluggedDevice& Device() {
    static PluggedDevice* plugged = [] {
        auto* device = new PluggedDevice(PlainInstrument());
        Require(kstandin::pnp::Start(device->pdo()) == STATUS_SUCCESS, "the instrument starts");
        return device;
    }();
    return *plugged;
}

ULONG OpenPipeCount(DeviceRecord* record) {
    ULONG count = 0;
    if (record->pipeOpen != nullptr) {
        for (ULONG i = 0; i < record->interfaceInfo->NumberOfPipes; ++i) {
            count += record->pipeOpen[i];
        }
    }
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    PluggedDevice& plugged = Device();
    DeviceRecord* record = plugged.record();
    kstandin::SetLowerCompletion(kstandin::LowerCompletion::AtOnce);
    bool stop = in.Byte() % 8 == 0;
    if (stop) {
        Require(kstandin::pnp::QueryStop(plugged.pdo()) == STATUS_SUCCESS &&
                    kstandin::pnp::Stop(plugged.pdo()) == STATUS_SUCCESS,
                "an idle device stops");
    }

    std::vector<PFILE_OBJECT> open;
    ULONG pipesOpen = 0;
    // Fewer handles than the pipe table's per-pipe count can hold.
    while (!in.Empty() && open.size() < 200) {
        std::u16string name = NameFrom(in);
        PFILE_OBJECT file = kstandin::CreateFileObject(plugged.device(), name);
        LONG handlesBefore = record->openHandles;
        kstandin::IrpResult result =
            kstandin::SendIrp(kstandin::TopOfStack(plugged.device()), IRP_MJ_CREATE, 0, {}, file);
        Require(result.completed && result.information == 0,
                "a create completes at once with no information");
        LONG wrapped;
        LONG index = ExpectedIndex(name, &wrapped);
        NTSTATUS expected;
        if (stop) {
            expected = STATUS_INVALID_DEVICE_STATE;
        } else if (name.empty()) {
            expected = STATUS_SUCCESS;
        } else if (index == kNone && wrapped == kNone) {
            expected = STATUS_INVALID_PARAMETER;
        } else {
            LONG pipe = index != kNone ? index : wrapped;
            expected = static_cast<ULONG>(pipe) < record->interfaceInfo->NumberOfPipes
                           ? STATUS_SUCCESS
                           : STATUS_INVALID_DEVICE_STATE;
            if (index == kNone && result.status == STATUS_INVALID_PARAMETER) {
                expected = STATUS_INVALID_PARAMETER; // a wrapped run may be refused
            }
        }
        Require(result.status == expected, "the create's status follows the name rule");
        if (result.status != STATUS_SUCCESS) {
            Require(file->FsContext == nullptr, "a failed open leaves no pipe on the file");
            Require(record->openHandles == handlesBefore, "a failed open counts no handle");
            kstandin::ReleaseFileObject(file);
            continue;
        }
        Require(record->openHandles == handlesBefore + 1, "an open counts one handle");
        if (name.empty()) {
            Require(file->FsContext == nullptr, "an empty name opens the device itself");
        } else {
            LONG pipe = index != kNone ? index : wrapped;
            Require(file->FsContext == &record->interfaceInfo->Pipes[pipe],
                    "the handle is bound to the named pipe");
            ++pipesOpen;
        }
        Require(OpenPipeCount(record) == pipesOpen, "the pipe table counts the open pipe handles");
        open.push_back(file);
    }
    for (PFILE_OBJECT file : open) {
        kstandin::CloseFile(file);
    }
    Require(record->openHandles == 0, "closing every handle brings the count back to 0");
    Require(OpenPipeCount(record) == 0, "closing every pipe handle clears the pipe table");
    if (stop) {
        Require(NT_SUCCESS(kstandin::pnp::Start(plugged.pdo())), "the stopped device starts again");
    }
    kstandin::WaitUntilQuiet();
    kstandin::TrimPoolRecords();
    return 0;
}
