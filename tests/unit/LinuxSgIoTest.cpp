// The Linux platform layer: the pass-through record as the SG_IO request the kernel
// gets, and what comes back into the record; drive letters, events, the ASPI layer
// beside the program. No real device is opened: the device folder is a temporary one
// and the system call is replaced.
#if defined(__linux__)

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "drive/Cddrive.h"
#include "drive/Cddrives.h"
#include "emulator/EmulatedBus.h"
#include "platform/ScsiPassThrough.h"
#include "platform/WinConstants.h"
#include "platform/linux/LinuxPlatform.h"
#include "toolkit/headless/HeadlessToolkit.h"

namespace {

// What one SG_IO call carried, copied while its pointers were valid.
struct SgCall {
  sg_io_hdr header;
  std::vector<std::uint8_t> cdb;
  int fd;
};

class LinuxLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kf-sgio-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    Touch("sr0");
    Touch("sr2");
    InstallToolkit(&tk);
  }
  void TearDown() override {
    cddrive::ResetModule();
    std::string command = "rm -rf '" + folder + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  void Touch(const std::string& name) { std::ofstream(folder + "/" + name) << ""; }

  // A kernel that answers through an emulated drive, or with a canned reply.
  LinuxPlatform Platform() {
    return LinuxPlatform(folder, folder, [this](int fd, sg_io_hdr* header) {
      SgCall call{*header, {}, fd};
      call.cdb.assign(header->cmdp, header->cmdp + header->cmd_len);
      calls.push_back(call);
      if (reply) return reply(header);
      return Emulate(fd, header);
    });
  }

  // The device node the descriptor was opened on names the drive: sr0 is D.
  int DriveOf(int fd) {
    char path[4096] = {};
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(link.c_str(), path, sizeof path - 1) <= 0) return -1;
    std::string node = path;
    std::size_t at = node.rfind("/sr");
    if (at == std::string::npos) return -1;
    return bus.FindByLetter(static_cast<char>('D' + std::atoi(node.c_str() + at + 3)));
  }

  int Emulate(int fd, sg_io_hdr* header) {
    int drive = DriveOf(fd);
    if (drive < 0) {
      header->host_status = 0x01;  // DID_NO_CONNECT
      return 0;
    }
    std::uint8_t cdb[12] = {};
    std::memcpy(cdb, header->cmdp, std::min<int>(header->cmd_len, 12));
    emu::Result result = bus.Execute(drive, cdb, header->dxfer_direction == SG_DXFER_FROM_DEV,
                                     static_cast<std::uint8_t*>(header->dxferp), header->dxfer_len);
    header->status = result.scsiStatus;
    header->resid = static_cast<int>(header->dxfer_len - result.reported);
    if (result.outcome == emu::Outcome::CheckCondition) {
      header->driver_status = 0x08;  // DRIVER_SENSE
      header->sb_len_wr = std::min<unsigned char>(header->mx_sb_len, 18);
      std::memcpy(header->sbp, result.senseData, header->sb_len_wr);
    }
    if (result.outcome == emu::Outcome::TransportFailure) header->host_status = 0x01;
    return 0;
  }

  // A pass-through record as the program fills it.
  PassThroughRequest Record(std::uint8_t opcode, std::uint8_t dataIn, std::uint32_t length,
                            void* buffer) {
    PassThroughRequest request = {};
    request.Sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    request.Sptd.CdbLength = 12;
    request.Sptd.SenseInfoLength = 24;
    request.Sptd.DataIn = dataIn;
    request.Sptd.DataTransferLength = length;
    request.Sptd.TimeOutValue = 60;
    request.Sptd.DataBuffer = buffer;
    request.Sptd.SenseInfoOffset = offsetof(PassThroughRequest, Sense);
    request.Sptd.Cdb[0] = opcode;
    return request;
  }

  win::BOOL Send(LinuxPlatform& os, win::HANDLE device, PassThroughRequest& request,
                 win::DWORD* returned = nullptr) {
    win::DWORD ignored = 0;
    return os.DeviceIoControl(device, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request,
                              &request, sizeof request, returned ? returned : &ignored, nullptr);
  }

  std::string folder;
  emu::EmulatedBus bus;
  std::vector<SgCall> calls;
  std::function<int(sg_io_hdr*)> reply;
  HeadlessToolkit tk;
};

TEST_F(LinuxLayer, RecordBecomesTheSgIoRequest) {
  LinuxPlatform os = Platform();
  reply = [](sg_io_hdr*) { return 0; };
  win::HANDLE device = os.CreateFileA("\\\\.\\D:", 0xC0000000u, 1, nullptr, 3, 0, nullptr);
  ASSERT_NE(device, win::InvalidHandleValue());
  std::vector<std::uint8_t> buffer(16384);

  PassThroughRequest in = Record(0x3C, win::SCSI_IOCTL_DATA_IN, 16384, buffer.data());
  in.Sptd.Cdb[1] = 0x01;
  in.Sptd.Cdb[11] = 0x5A;
  in.Sptd.TimeOutValue = 180;
  ASSERT_TRUE(Send(os, device, in));
  PassThroughRequest out = Record(0x3B, win::SCSI_IOCTL_DATA_OUT, 32, buffer.data());
  ASSERT_TRUE(Send(os, device, out));
  PassThroughRequest none = Record(0x00, win::SCSI_IOCTL_DATA_IN, 0, nullptr);
  ASSERT_TRUE(Send(os, device, none));

  ASSERT_EQ(calls.size(), 3u);
  const sg_io_hdr& h = calls[0].header;
  EXPECT_EQ(calls[0].fd, static_cast<int>(reinterpret_cast<std::intptr_t>(device)));
  EXPECT_EQ(h.interface_id, 'S');
  EXPECT_EQ(h.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(h.cmd_len, 12);
  EXPECT_EQ(h.mx_sb_len, 24);
  EXPECT_EQ(h.dxfer_len, 16384u);
  EXPECT_EQ(h.dxferp, buffer.data());
  EXPECT_EQ(h.timeout, 180000u);
  EXPECT_NE(h.sbp, nullptr);
  EXPECT_EQ(calls[0].cdb, (std::vector<std::uint8_t>{0x3C, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5A}));
  EXPECT_EQ(calls[1].header.dxfer_direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(calls[1].header.dxfer_len, 32u);
  EXPECT_EQ(calls[2].header.dxfer_direction, SG_DXFER_NONE);
  EXPECT_EQ(os.CloseHandle(device), 1);
}

TEST_F(LinuxLayer, StatusSenseAndLengthComeBackIntoTheRecord) {
  LinuxPlatform os = Platform();
  reply = [](sg_io_hdr* h) {
    h->status = 0x02;
    h->driver_status = 0x08;
    h->resid = 100;
    const std::uint8_t sense[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x01};
    h->sb_len_wr = 18;
    std::memcpy(h->sbp, sense, 18);
    return 0;
  };
  win::HANDLE device = os.CreateFileA("\\\\.\\F:", 0xC0000000u, 1, nullptr, 3, 0, nullptr);
  ASSERT_NE(device, win::InvalidHandleValue());
  std::vector<std::uint8_t> buffer(128);
  PassThroughRequest request = Record(0x12, win::SCSI_IOCTL_DATA_IN, 128, buffer.data());
  win::DWORD returned = 0;

  EXPECT_TRUE(Send(os, device, request, &returned));
  EXPECT_EQ(os.GetLastError(), 0u);
  EXPECT_EQ(request.Sptd.ScsiStatus, 0x02);
  EXPECT_EQ(request.Sense[0], 0x70);
  EXPECT_EQ(request.Sense[2], 0x02);
  EXPECT_EQ(request.Sense[12], 0x04);
  EXPECT_EQ(request.Sense[13], 0x01);
  EXPECT_EQ(request.Sense[18], 0);  // only what the drive wrote
  EXPECT_EQ(request.Sptd.DataTransferLength, 28u);
  EXPECT_EQ(returned, offsetof(PassThroughRequest, Sense) + 18);

  // A residual beyond the transfer: nothing counts as moved. A negative one is an
  // overrun: the buffer is full.
  for (int resid : {129, -1}) {
    reply = [resid](sg_io_hdr* h) {
      h->resid = resid;
      return 0;
    };
    request = Record(0x12, win::SCSI_IOCTL_DATA_IN, 128, buffer.data());
    EXPECT_TRUE(Send(os, device, request));
    EXPECT_EQ(request.Sptd.DataTransferLength, resid < 0 ? 128u : 0u) << resid;
  }
  os.CloseHandle(device);
}

TEST_F(LinuxLayer, FailuresBecomeAFailedCallWithTheOsError) {
  LinuxPlatform os = Platform();
  win::HANDLE device = os.CreateFileA("\\\\.\\D:", 0xC0000000u, 1, nullptr, 3, 0, nullptr);
  ASSERT_NE(device, win::InvalidHandleValue());
  PassThroughRequest request = Record(0x00, 1, 0, nullptr);

  reply = [](sg_io_hdr*) {
    errno = EPERM;
    return -1;
  };
  EXPECT_FALSE(Send(os, device, request));
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(EPERM));

  reply = [](sg_io_hdr* h) {
    h->host_status = 0x03;  // DID_TIME_OUT
    return 0;
  };
  EXPECT_FALSE(Send(os, device, request));
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(ETIMEDOUT));

  reply = [](sg_io_hdr* h) {
    h->driver_status = 0x04;  // DRIVER_ERROR
    return 0;
  };
  EXPECT_FALSE(Send(os, device, request));
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(EIO));

  // Records the kernel must never see.
  std::size_t seen = calls.size();
  win::DWORD ignored;
  EXPECT_FALSE(os.DeviceIoControl(device, 0x12345, &request, sizeof request, &request,
                                  sizeof request, &ignored, nullptr));
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(ENOTTY));
  PassThroughRequest badSense = request;
  badSense.Sptd.SenseInfoOffset = sizeof(PassThroughRequest) - 8;
  EXPECT_FALSE(Send(os, device, badSense));
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(EINVAL));
  PassThroughRequest longCdb = request;
  longCdb.Sptd.CdbLength = 17;
  EXPECT_FALSE(Send(os, device, longCdb));
  PassThroughRequest noBuffer = Record(0x12, 1, 128, nullptr);
  EXPECT_FALSE(Send(os, device, noBuffer));
  EXPECT_EQ(calls.size(), seen);
  os.CloseHandle(device);
}

TEST_F(LinuxLayer, DriveLettersAreTheOpticalDeviceNodes) {
  LinuxPlatform os = Platform();
  EXPECT_EQ(os.DevicePath('D'), folder + "/sr0");
  EXPECT_EQ(os.DevicePath('Z'), folder + "/sr22");
  EXPECT_EQ(os.DevicePath('C'), "");

  char roots[80];
  std::memset(roots, 'x', sizeof roots);
  ASSERT_EQ(os.GetLogicalDriveStringsA(80, roots), 8u);
  EXPECT_EQ(std::string(roots, 9), std::string("D:\\\0F:\\\0\0", 9));
  std::memset(roots, 'x', sizeof roots);
  EXPECT_EQ(os.GetLogicalDriveStringsA(8, roots), 9u);  // too small: the size needed
  EXPECT_EQ(roots[0], 'x');

  EXPECT_EQ(os.GetDriveTypeA("D:\\"), win::DRIVE_CDROM);
  EXPECT_EQ(os.GetDriveTypeA("F:\\"), win::DRIVE_CDROM);
  EXPECT_EQ(os.GetDriveTypeA("E:\\"), 1u);
  EXPECT_EQ(os.GetDriveTypeA("C:\\"), 1u);

  win::HANDLE device = os.CreateFileA("\\\\.\\D:", 0xC0000000u, 1, nullptr, 3, 0, nullptr);
  ASSERT_NE(device, win::InvalidHandleValue());
  int flags = fcntl(static_cast<int>(reinterpret_cast<std::intptr_t>(device)), F_GETFL);
  EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
  EXPECT_TRUE(flags & O_NONBLOCK);
  os.CloseHandle(device);
  EXPECT_EQ(os.CreateFileA("\\\\.\\E:", 0xC0000000u, 1, nullptr, 3, 0, nullptr),
            win::InvalidHandleValue());
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(ENOENT));
}

TEST_F(LinuxLayer, EventsAreAutoResetEventfds) {
  LinuxPlatform os = Platform();
  win::HANDLE event = os.CreateEventA(nullptr, 0, 0, nullptr);
  ASSERT_NE(event, nullptr);
  int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(event));

  EXPECT_EQ(os.WaitForSingleObject(event, 10), win::WAIT_TIMEOUT);
  std::uint64_t one = 1;
  ASSERT_EQ(write(fd, &one, sizeof one), 8);  // as an ASPI layer signals
  EXPECT_EQ(os.WaitForSingleObject(event, 10), win::WAIT_OBJECT_0);
  EXPECT_EQ(os.WaitForSingleObject(event, 10), win::WAIT_TIMEOUT);
  ASSERT_EQ(write(fd, &one, sizeof one), 8);
  EXPECT_EQ(os.ResetEvent(event), 1);
  EXPECT_EQ(os.WaitForSingleObject(event, 0), win::WAIT_TIMEOUT);
  EXPECT_EQ(os.CloseHandle(event), 1);

  win::HANDLE manual = os.CreateEventA(nullptr, 1, 1, nullptr);
  EXPECT_EQ(os.WaitForSingleObject(manual, 0), win::WAIT_OBJECT_0);
  EXPECT_EQ(os.WaitForSingleObject(manual, 0), win::WAIT_OBJECT_0);
  os.ResetEvent(manual);
  EXPECT_EQ(os.WaitForSingleObject(manual, 0), win::WAIT_TIMEOUT);
  os.CloseHandle(manual);
}

TEST_F(LinuxLayer, AspiLayerBesideTheProgramSelectsTheOtherFamily) {
  LinuxPlatform os = Platform();
  win::OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(os.GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, win::VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(os.LoadLibraryA("WNASPI32.DLL"), nullptr);
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(ENOENT));

  Touch("libwnaspi32.so");  // not a library, but there
  ASSERT_TRUE(os.GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, 1u);
  EXPECT_EQ(info.dwMajorVersion, 4u);
  EXPECT_EQ(info.dwMinorVersion, 10u);
  EXPECT_EQ(os.LibraryPath("WNASPI32.DLL"), folder + "/libwnaspi32.so");
  EXPECT_EQ(os.LoadLibraryA("WNASPI32.DLL"), nullptr);
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(ENOEXEC));

  info.dwOSVersionInfoSize = 100;
  EXPECT_FALSE(os.GetVersionExA(&info));
}

TEST_F(LinuxLayer, ErrorTextsAndFiles) {
  LinuxPlatform os = Platform();
  char text[80];
  win::DWORD length = os.FormatMessageA(0x1000, nullptr, ENOENT, 0, text, sizeof text, nullptr);
  EXPECT_EQ(std::string(text, length), "No such file or directory\n");
  EXPECT_EQ(os.FormatMessageA(0x1000, nullptr, 100000, 0, text, sizeof text, nullptr), 0u);
  EXPECT_EQ(os.FormatMessageA(0x1000, nullptr, ENOENT, 0, text, 10, nullptr), 0u);

  EXPECT_EQ(os.GetFileAttributesA(folder.c_str()), win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(os.GetFileAttributesA((folder + "/sr0").c_str()), 0x80u);
  EXPECT_EQ(os.GetFileAttributesA((folder + "/none").c_str()), win::INVALID_FILE_ATTRIBUTES);

  char small[2];
  win::DWORD needed = os.GetCurrentDirectoryA(sizeof small, small);
  std::vector<char> cwd(needed);
  EXPECT_EQ(os.GetCurrentDirectoryA(needed, cwd.data()), needed - 1);
  char module[4096];
  win::DWORD moduleLength = os.GetModuleFileNameA(nullptr, module, sizeof module);
  ASSERT_GT(moduleLength, 0u);
  EXPECT_EQ(std::string(module).find("kf_unit_tests") != std::string::npos, true);
  EXPECT_EQ(os.GetModuleFileNameA(nullptr, module, 4), 4u);
  EXPECT_EQ(std::strlen(module), 3u);
}

// The program's own code over this layer: the drive list on the NT family finds
// /dev/sr0 as D: and identifies it through SG_IO.
TEST_F(LinuxLayer, DriveListAndCommandsRunOverSgIo) {
  emu::DriveConfig config;
  config.letter = 'D';
  int d = bus.AddDrive(config);
  emu::Fault fault;
  fault.opcode = 0x00;
  fault.sense = {0x02, 0x3A, 0x00};
  bus.AddFault(d, fault);
  emu::Fault cut;  // the second flash ID read moves nothing
  cut.kind = emu::FaultKind::ShortTransfer;
  cut.opcode = 0xDF;
  cut.occurrence = 1;
  bus.AddFault(d, cut);
  emu::Fault conflict;  // the third answers RESERVATION CONFLICT
  conflict.kind = emu::FaultKind::Status;
  conflict.status = 0x18;
  conflict.opcode = 0xDF;
  conflict.occurrence = 2;
  bus.AddFault(d, conflict);
  LinuxPlatform os = Platform();
  InstallPlatform(&os);
  cddrive::ResetModule();
  std::vector<std::uint8_t> buffer(16384);

  {
    CDDrives list;
    ASSERT_EQ(list.GetCount(), 1);  // F: (sr2) does not answer INQUIRY
    CDDrive* drive = list.SelectedDrive;
    EXPECT_EQ(drive->Description, "0-0-0 D: KOR-VEL KRW-52088S      QF01");
    drive->SetDataBuffer(buffer.data(), 16384);
    EXPECT_EQ(drive->ExecuteCommand(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0), 0u);
    EXPECT_TRUE(drive->SenseEquals(0x02, 0x3A, 0x00));
    EXPECT_EQ(drive->StatusByte, 0x02);
    EXPECT_EQ(drive->ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 128), 1u);
    EXPECT_TRUE(drive->LastCommandCompleted(128));
    EXPECT_EQ(buffer[0], 0xBF);
    // A short read (resid) and a bad status without sense are no success.
    buffer[0] = 0x5A;
    drive->ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 128);
    EXPECT_TRUE(drive->LastCommandCompleted(0));
    EXPECT_FALSE(drive->LastCommandCompleted(128));
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_EQ(drive->ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 128), 0u);
    EXPECT_EQ(drive->GetStatusText(), "00 00 00. 18, 0000");
  }
  EXPECT_EQ(cddrive::OpenCount(), 0);
  cddrive::ResetModule();
}

}  // namespace

#endif  // __linux__
