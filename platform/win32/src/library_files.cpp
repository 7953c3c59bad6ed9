// Files opened for reading: virtual files that tests add by name, else the host's files.
#include "call_faults.h"
#include "handle_table.h"
#include "win32_sim.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace win32sim {
namespace {

std::mutex filesLock;
struct VirtualContents {
    std::vector<uint8_t> bytes;
    size_t badByte = SIZE_MAX;  // offset that cannot be read
};
std::map<std::string, std::shared_ptr<const VirtualContents>> virtualFiles;  // filesLock
std::vector<CreateFileCall> createFileCalls;                                      // filesLock

class VirtualFile : public KernelObject {
public:
    explicit VirtualFile(std::shared_ptr<const VirtualContents> contents)
        : contents_(std::move(contents)) {}
    std::string Kind() const override { return "file"; }
    bool Read(void* buffer, DWORD length, DWORD* bytesRead) override
    {
        std::lock_guard<std::mutex> lock(lock_);
        const auto& bytes = contents_->bytes;
        size_t available = bytes.size() - position_;
        size_t count = length < available ? length : available;
        if (contents_->badByte >= position_ && contents_->badByte - position_ < count) {
            *bytesRead = 0;
            SetLastError(ERROR_CRC);
            return false;
        }
        if (count)
            std::memcpy(buffer, bytes.data() + position_, count);
        position_ += count;
        *bytesRead = static_cast<DWORD>(count);
        return true;
    }
    bool Size(uint64_t* size) override
    {
        *size = contents_->bytes.size();
        return true;
    }

private:
    std::shared_ptr<const VirtualContents> contents_;
    std::mutex lock_;
    size_t position_ = 0;  // guarded by lock_
};

class HostFile : public KernelObject {
public:
    explicit HostFile(int fd) : fd_(fd) {}
    ~HostFile() override { ::close(fd_); }
    std::string Kind() const override { return "file"; }
    bool Read(void* buffer, DWORD length, DWORD* bytesRead) override
    {
        // A file read returns short only at the end of the file.
        size_t total = 0;
        while (total < length) {
            ssize_t n = ::read(fd_, static_cast<char*>(buffer) + total, length - total);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *bytesRead = static_cast<DWORD>(total);
                SetLastError(ERROR_ACCESS_DENIED);
                return false;
            }
            if (n == 0)
                break;
            total += static_cast<size_t>(n);
        }
        *bytesRead = static_cast<DWORD>(total);
        return true;
    }
    bool Size(uint64_t* size) override
    {
        struct stat info;
        if (::fstat(fd_, &info) != 0)
            return false;
        *size = static_cast<uint64_t>(info.st_size);
        return true;
    }

private:
    int fd_;
};

}  // namespace

void AddVirtualFile(const std::string& path, std::vector<uint8_t> contents)
{
    AddUnreadableVirtualFile(path, std::move(contents), SIZE_MAX);
}

void AddUnreadableVirtualFile(const std::string& path, std::vector<uint8_t> contents, size_t badByte)
{
    auto file = std::make_shared<VirtualContents>();
    file->bytes = std::move(contents);
    file->badByte = badByte;
    std::lock_guard<std::mutex> lock(filesLock);
    virtualFiles[path] = std::move(file);
}

void ClearVirtualFiles()
{
    std::lock_guard<std::mutex> lock(filesLock);
    virtualFiles.clear();
}

std::vector<CreateFileCall> CreateFileCalls()
{
    std::lock_guard<std::mutex> lock(filesLock);
    return createFileCalls;
}

void ClearCreateFileCalls()
{
    std::lock_guard<std::mutex> lock(filesLock);
    createFileCalls.clear();
}

}  // namespace win32sim

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE)
{
    using namespace win32sim;
    std::shared_ptr<const VirtualContents> contents;
    {
        std::lock_guard<std::mutex> lock(filesLock);
        createFileCalls.push_back(
            {fileName ? fileName : "", desiredAccess, shareMode, creationDisposition,
             flagsAndAttributes});
        if (fileName) {
            auto it = virtualFiles.find(fileName);
            if (it != virtualFiles.end())
                contents = it->second;
        }
    }
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (FailCountedCall("CreateFileA", fileName, ERROR_SHARING_VIOLATION))
        return INVALID_HANDLE_VALUE;
    // Only opening existing files for reading is modelled.
    if (creationDisposition != OPEN_EXISTING || (desiredAccess & GENERIC_WRITE)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    if (contents)
        return InsertHandle(std::make_shared<VirtualFile>(contents));
    int fd = ::open(fileName, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND
                     : errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                        : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return InsertHandle(std::make_shared<HostFile>(fd));
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped)
{
    if (bytesRead)
        *bytesRead = 0;
    auto object = win32sim::LookupHandle(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped || !bytesRead) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (win32sim::FailCountedCall("ReadFile", "", ERROR_READ_FAULT))
        return FALSE;
    return object->Read(buffer, bytesToRead, bytesRead) ? TRUE : FALSE;
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD fileSizeHigh)
{
    auto object = win32sim::LookupHandle(file);
    uint64_t size = 0;
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    if (win32sim::FailCountedCall("GetFileSize", "", ERROR_NOT_ENOUGH_MEMORY))
        return INVALID_FILE_SIZE;
    if (!object->Size(&size))
        return INVALID_FILE_SIZE;
    if (fileSizeHigh)
        *fileSizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}
}
