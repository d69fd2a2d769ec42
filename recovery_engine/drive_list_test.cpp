// The drive list: its exact text, the Linux device listing, and the export's one message.
#include "drive_list.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "message_recorder.h"
#include "temp_dir.h"

namespace quarvelin {
namespace {

using testing::RecordA;
using testing::RecorderA;

DriveRecord Drive(const std::string& id, const std::string& letter, const std::string& label,
                  DriveKind kind, uint64_t total, uint64_t free) {
  return DriveRecord{id, letter, label, kind, total, free};
}

TEST(DriveListJson, WritesTheFixedShapeByteForByte) {
  EXPECT_EQ(DriveListJson({}), "[]");
  // Two drives, comma-joined; no label means "Local Disk"; removable means "USB".
  EXPECT_EQ(
      DriveListJson({Drive("C:\\", "C:", "", DriveKind::Fixed, 512110190592, 73014444032),
                     Drive("E:\\", "E:", "STICK", DriveKind::Removable, 64, 32)}),
      "[{\"id\": \"C:\\\\\",\"letter\": \"C:\",\"name\": \"Local Disk\",\"type\": \"SSD\","
      "\"size\": \"512110190592\",\"free\": \"73014444032\",\"health\": 100,"
      "\"temperature\": 0,\"life\": \"Good\",\"hours\": \"0\"},"
      "{\"id\": \"E:\\\\\",\"letter\": \"E:\",\"name\": \"STICK\",\"type\": \"USB\","
      "\"size\": \"64\",\"free\": \"32\",\"health\": 100,\"temperature\": 0,\"life\": \"Good\","
      "\"hours\": \"0\"}]");
}

#if !defined(_WIN32)
class FakeSys {
 public:
  void Write(const std::string& relative, const std::string& text) {
    const auto path = dir_.path() / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  // A disk as the kernel shows it: a link from block/ into the device tree.
  void Disk(const std::string& name, const std::string& devicePath, const std::string& sectors) {
    Write(devicePath + "/" + name + "/size", sectors + "\n");
    std::filesystem::create_directory_symlink(dir_.path() / devicePath / name,
                                              dir_.path() / "block" / name);
  }
  const std::filesystem::path& Root() const { return dir_.path(); }

 private:
  testing::TempDir dir_;
};

TEST(ListSysfsDrives, ListsWhatCanBeScannedWithPartitionsAfterTheirDisk) {
  FakeSys sys;
  std::filesystem::create_directories(sys.Root() / "block");
  const std::string pci = "devices/pci0000:00/0000:00:17.0";
  sys.Disk("sda", pci + "/ata1/host0/block", "1000215216");
  sys.Write(pci + "/ata1/host0/block/sda/removable", "0\n");
  sys.Write(pci + "/ata1/host0/block/sda/device/model", "Samsung SSD 860   \n");
  for (const auto& [number, sectors] : {std::pair("2", "2048"), {"10", "4096"}, {"5", "2"}}) {
    const std::string partition = pci + "/ata1/host0/block/sda/sda" + number;
    sys.Write(partition + "/partition", number + std::string("\n"));
    sys.Write(partition + "/size", sectors + std::string("\n"));
  }
  // A USB hard disk that says it is not removable, and a card reader with and without a card.
  const std::string usb = pci + "/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block";
  sys.Disk("sdb", usb, "1953525168");
  sys.Write(usb + "/sdb/removable", "0\n");
  sys.Disk("sdc", pci + "/host7/block", "124735488");
  sys.Write(pci + "/host7/block/sdc/removable", "1\n");
  sys.Write(pci + "/host7/block/sdc/device/model", "Card Reader\n");
  sys.Disk("sdd", pci + "/host8/block", "0");
  sys.Disk("mmcblk0", pci + "/mmc0/mmc0:0001/block", "62333952");
  sys.Write(pci + "/mmc0/mmc0:0001/block/mmcblk0/device/type", "SD\n");
  sys.Disk("dm-0", "devices/virtual/block", "8388608");
  sys.Write("devices/virtual/block/dm-0/dm/name", "vg-home\n");
  sys.Disk("loop0", "devices/virtual/block", "0");
  sys.Disk("loop1", "devices/virtual/block", "65536");
  sys.Write("devices/virtual/block/loop1/loop/backing_file", "/home/me/disk.img\n");
  sys.Disk("nvme0c0n1", pci + "/nvme0", "1000");
  sys.Write(pci + "/nvme0/nvme0c0n1/hidden", "1\n");
  for (const std::string name : {"ram0", "zram0", "sr0"}) {
    sys.Disk(name, "devices/virtual/block", "2048");
  }

  const auto drives = ListSysfsDrives(sys.Root());
  std::vector<std::string> listed;
  for (const DriveRecord& d : drives) {
    listed.push_back(d.id + "|" + d.letter + "|" + d.label + "|" +
                     (d.kind == DriveKind::Removable ? "USB" : "SSD") + "|" +
                     std::to_string(d.totalBytes) + "|" + std::to_string(d.freeBytes));
  }
  EXPECT_EQ(listed, (std::vector<std::string>{
                        "/dev/dm-0|dm-0|vg-home|SSD|4294967296|0",
                        "/dev/loop1|loop1|/home/me/disk.img|SSD|33554432|0",
                        "/dev/mmcblk0|mmcblk0||USB|31914983424|0",
                        "/dev/sda|sda|Samsung SSD 860|SSD|512110190592|0",
                        "/dev/sda2|sda2|Samsung SSD 860|SSD|1048576|0",
                        "/dev/sda5|sda5|Samsung SSD 860|SSD|1024|0",
                        "/dev/sda10|sda10|Samsung SSD 860|SSD|2097152|0",
                        "/dev/sdb|sdb||USB|1000204886016|0",
                        "/dev/sdc|sdc|Card Reader|USB|63864569856|0",
                    }));
  EXPECT_TRUE(ListSysfsDrives(sys.Root() / "missing").empty());
}
#endif

TEST(ListNativeDrives, SendsOneDriveListOnTheCallingThread) {
  RecorderA().Clear();
  ListNativeDrives(nullptr);
  ListNativeDrives(RecordA);
  const auto messages = RecorderA().Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].kind, NativeMessageKind::DriveList);
  EXPECT_EQ(messages[0].thread, std::this_thread::get_id());
#if defined(_WIN32)
  // Wine maps C: to its prefix and Z: to the Unix root, both fixed; sizes vary.
  EXPECT_EQ(messages[0].text.rfind("[{\"id\": \"C:\\\\\",\"letter\": \"C:\",\"name\": ", 0), 0u)
      << messages[0].text;
  const size_t c = messages[0].text.find("\"type\": ");
  EXPECT_EQ(messages[0].text.substr(c, 13), "\"type\": \"SSD\"");
  EXPECT_NE(messages[0].text.find("{\"id\": \"Z:\\\\\",\"letter\": \"Z:\","), std::string::npos);
  EXPECT_EQ(messages[0].text.back(), ']');
#else
  EXPECT_EQ(messages[0].text, DriveListJson(ListMachineDrives()));
#endif
  RecorderA().Clear();
}

}  // namespace
}  // namespace quarvelin
