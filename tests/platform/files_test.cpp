// Zw file calls and device registry keys over the host state folder.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/host/host_files.h"
#include "platform/wdk.h"

namespace {

struct Name {
  std::u16string text;
  UNICODE_STRING string;
  explicit Name(const char* ascii) : text(ascii, ascii + std::strlen(ascii)) {
    RtlInitUnicodeString(&string, text.c_str());
  }
};

class HostFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/uvccam-files-XXXXXX";
    folder_ = mkdtemp(pattern);
    host::SetStateFolder(folder_ + "/state");
  }
  void TearDown() override {
    EXPECT_EQ(host::OpenHandleCount(), 0u);
    host::SetStateFolder("");
    std::system(("rm -rf " + folder_).c_str());
  }
  NTSTATUS Create(const char* path, ULONG disposition, HANDLE* handle, ULONG options = 0,
                  ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE) {
    Name name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    NTSTATUS status = ZwCreateFile(handle, access, &attributes, &io, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, 0, disposition,
                                   options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    information_ = io.Information;
    return status;
  }
  std::string folder_;
  ULONG_PTR information_ = 0;
};

TEST_F(HostFilesTest, NamesOutsideSystem32OrEscapingTheFolderAreRefused) {
  const char* bad[] = {"\\SystemRoot\\system32\\", "\\SystemRoot\\system32\\..\\x",
                       "\\SystemRoot\\system32\\a\\\\b", "\\SystemRoot\\system32\\a/../b",
                       "\\??\\C:\\x", "relative.bmp"};
  for (const char* path : bad) {
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(NT_SUCCESS(Create(path, FILE_OPEN_IF, &handle))) << path;
    EXPECT_EQ(handle, nullptr) << path;
  }
}

// The dispositions the driver uses: FILE_OPEN to read, FILE_OVERWRITE_IF to write.
TEST_F(HostFilesTest, DispositionsReadWriteAndEndOfFile) {
  HANDLE h;
  const char* path = "\\SystemRoot\\System32\\x.dat";
  EXPECT_EQ(Create(path, FILE_OPEN, &h), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Create("\\SystemRoot\\system32\\aa\\x.dat", FILE_OVERWRITE_IF, &h), STATUS_OBJECT_PATH_NOT_FOUND);
  char data[] = "frame bytes", back[32] = {};
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER offset;
  for (ULONG_PTR created : {ULONG_PTR(FILE_CREATED), ULONG_PTR(FILE_OVERWRITTEN)}) {
    ASSERT_EQ(Create(path, FILE_OVERWRITE_IF, &h), STATUS_SUCCESS);
    EXPECT_EQ(information_, created);
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, back, 32, nullptr, nullptr), STATUS_END_OF_FILE);
    ASSERT_EQ(ZwWriteFile(h, nullptr, nullptr, nullptr, &io, data, 11, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 11u);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
  }
  ASSERT_EQ(Create(path, FILE_OPEN, &h, 0, GENERIC_READ), STATUS_SUCCESS);
  offset.QuadPart = 6;
  ASSERT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, back, 32, &offset, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(std::string(back, io.Information), "bytes") << "overwritten, not appended";
  offset.QuadPart = 11;
  EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &io, back, 32, &offset, nullptr), STATUS_END_OF_FILE);
  EXPECT_EQ(ZwWriteFile(h, nullptr, nullptr, nullptr, &io, data, 1, nullptr, nullptr), STATUS_ACCESS_DENIED);
  ZwClose(h);
  EXPECT_TRUE(std::ifstream(folder_ + "/state/x.dat").good());
}

TEST_F(HostFilesTest, RegistryValuesPerDeviceWithBufferSizes) {
  DEVICE_OBJECT pdo{}, other{};
  host::SetDeviceRegistryName(&pdo, "cam1");
  HANDLE key, otherKey;
  ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key),
            STATUS_SUCCESS);
  ASSERT_EQ(IoOpenDeviceRegistryKey(&other, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &otherKey),
            STATUS_SUCCESS);
  Name mirror("Mirror"), mirrorUpper("MIRROR"), shortValue("Back Light");
  ULONG one = 1;
  ASSERT_EQ(ZwSetValueKey(key, &mirror.string, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
  USHORT two = 2;
  ASSERT_EQ(ZwSetValueKey(key, &shortValue.string, 0, REG_DWORD, &two, 2), STATUS_SUCCESS);
  ULONG five = 5;
  ASSERT_EQ(ZwSetValueKey(key, &mirrorUpper.string, 0, REG_DWORD, &five, 4), STATUS_SUCCESS);

  alignas(8) UCHAR buffer[32];
  ULONG needed = 0;
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  EXPECT_EQ(ZwQueryValueKey(key, &mirror.string, KeyValuePartialInformation, buffer, 11, &needed),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 16u);
  EXPECT_EQ(ZwQueryValueKey(key, &mirror.string, KeyValuePartialInformation, buffer, 15, &needed),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(info->DataLength, 4u);
  ASSERT_EQ(ZwQueryValueKey(key, &mirror.string, KeyValuePartialInformation, buffer, 16, &needed),
            STATUS_SUCCESS);
  EXPECT_EQ(info->Type, ULONG(REG_DWORD));
  ULONG value;
  std::memcpy(&value, info->Data, 4);
  EXPECT_EQ(value, 5u);  // names compare without case; the later write counts
  ASSERT_EQ(ZwQueryValueKey(key, &shortValue.string, KeyValuePartialInformation, buffer, 32,
                            &needed),
            STATUS_SUCCESS);
  EXPECT_EQ(info->DataLength, 2u);  // stored as written, a malformed DWORD stays malformed
  EXPECT_EQ(ZwQueryValueKey(otherKey, &mirror.string, KeyValuePartialInformation, buffer, 32,
                            &needed),
            STATUS_OBJECT_NAME_NOT_FOUND);  // another device's key

  host::RegistryValue stored;
  EXPECT_FALSE(host::ReadDeviceRegistryValue("cam1", "mirror", &stored));  // until flushed
  ASSERT_EQ(ZwFlushKey(key), STATUS_SUCCESS);
  ASSERT_TRUE(host::ReadDeviceRegistryValue("cam1", "mirror", &stored));
  EXPECT_EQ(stored.data.size(), 4u);
  EXPECT_EQ(stored.data[0], 5);
  ZwClose(key);
  ZwClose(otherKey);
  host::ForgetDeviceRegistryName(&pdo);
  EXPECT_EQ(ZwQueryValueKey(key, &mirror.string, KeyValuePartialInformation, buffer, 32, &needed),
            STATUS_INVALID_HANDLE);
}

// Writers in several processes: each one's values survive the others', and
// a writer that dies before closing changes nothing. (A key file that cannot
// be written is tested with the command line's saves.)
TEST_F(HostFilesTest, KeyWritesAreLockedWholeReplacements) {
  DEVICE_OBJECT pdo{};
  host::SetDeviceRegistryName(&pdo, "shared");
  auto write = [&pdo](char prefix, int values, bool close) {
    HANDLE key;
    if (IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key) != STATUS_SUCCESS) return false;
    for (ULONG i = 0; i < ULONG(values); ++i) {
      Name name((std::string(1, prefix) + std::to_string(i)).c_str());
      if (ZwSetValueKey(key, &name.string, 0, REG_DWORD, &i, 4) != STATUS_SUCCESS) return false;
      if (i == 0) usleep(20000);  // the other writers start meanwhile
    }
    return !close || ZwClose(key) == STATUS_SUCCESS;
  };
  std::vector<pid_t> children;
  for (char prefix : {'a', 'b', 'c'})
    if (pid_t child = fork(); child == 0) {
      _exit(write(prefix, 12, true) ? 0 : 1);
    } else {
      children.push_back(child);
    }
  for (pid_t child : children) {
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  if (pid_t child = fork(); child == 0) _exit(write('d', 3, false) ? 0 : 1);  // dies holding the key
  else waitpid(child, nullptr, 0);
  host::RegistryValue v;
  for (char prefix : {'a', 'b', 'c', 'd'})
    for (int i : {0, 11}) EXPECT_EQ(host::ReadDeviceRegistryValue("shared", prefix + std::to_string(i), &v), prefix != 'd');

  host::ForgetDeviceRegistryName(&pdo);
}

}  // namespace
