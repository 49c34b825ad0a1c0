// The capture: the text trace tests assert against, and the USBPcap file,
// checked by opening it with tshark.
#include "tests/support/temp_path.h"
#include "tests/sim/usb_fake_function.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

using sim::kMillisecond;
using usbtest::DataTransfer;
using usbtest::DescriptorRequest;
using usbtest::UsbTest;
using usbtest::VendorRequest;

class UsbCaptureTest : public UsbTest {
  protected:
    // A short session: descriptor read, vendor write and read, a class write
    // with data, the selection, bulk both ways, an interrupt read, a pipe
    // abort, and a URB the bus refuses.
    void Session() {
        uint8_t descriptor[18];
        URB get =
            DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, sizeof descriptor);
        Run(&get);
        URB write =
            VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0x0606, 0x00AA, nullptr, 0);
        Run(&write);
        function->vendorReply = {0xAA, 0x01};
        uint8_t reg[2];
        URB read = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, true, 0x01, 0x8686, 0, reg, 2);
        Run(&read);
        uint8_t feature[2] = {0x34, 0x12};
        URB comm = VendorRequest(URB_FUNCTION_CLASS_INTERFACE, false, 0x02, 0x0001, 0, feature, 2);
        Run(&comm);
        Configure();
        uint8_t text[3] = {'a', 'b', 'c'};
        URB out = DataTransfer(Pipe(0x02), 0, text, 3);
        Run(&out);
        uint8_t in[384];
        function->Send(0x83, {'x', 'y'});
        URB bulk = DataTransfer(Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, in,
                                sizeof in);
        Run(&bulk);
        uint8_t status[10];
        function->Send(0x81, std::vector<uint8_t>(10, 0x30));
        URB poll = DataTransfer(Pipe(0x81), USBD_TRANSFER_DIRECTION_IN, status, sizeof status);
        Run(&poll);
        URB abort{};
        abort.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
        abort.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
        abort.UrbPipeRequest.PipeHandle = Pipe(0x83);
        Run(&abort);
        URB refused = DataTransfer(reinterpret_cast<USBD_PIPE_HANDLE>(0x40),
                                   USBD_TRANSFER_DIRECTION_IN, in, 4);
        Run(&refused);
        URB unknown = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0, 0, nullptr, 0);
        unknown.UrbHeader.Function = 0x0099;
        Run(&unknown);
    }

    void Run(URB* urb) {
        auto r = client->Submit(urb);
        ASSERT_TRUE(RunUntilDone(r));
    }
};

// Each request is sent as the one before it completes, at a frame's start, and
// goes in that frame; the interrupt poll waits for its period.
TEST_F(UsbCaptureTest, TextTraceHasOneLinePerUrbInCompletionOrder) {
    Plug();
    Session();
    const std::vector<std::string> expected = {
        "2.000 ms dev 1 GET_DESCRIPTOR_FROM_DEVICE IN setup 80 06 0100 0000 0012 data "
        "12011001ff000040f1ff0102000300000001 SUCCESS",
        "3.000 ms dev 1 VENDOR_DEVICE OUT setup 40 01 0606 00aa 0000 data - SUCCESS",
        "4.000 ms dev 1 VENDOR_DEVICE IN setup c0 01 8686 0000 0002 data aa01 SUCCESS",
        "5.000 ms dev 1 CLASS_INTERFACE OUT setup 21 02 0001 0000 0002 data 3412 SUCCESS",
        "6.000 ms dev 1 SELECT_CONFIGURATION OUT setup 00 09 0001 0000 0000 data - SUCCESS",
        "7.000 ms dev 1 BULK_OR_INTERRUPT_TRANSFER OUT ep 02 len 3 data 616263 SUCCESS",
        "8.000 ms dev 1 BULK_OR_INTERRUPT_TRANSFER IN ep 83 len 384 data 7879 SUCCESS",
        "10.000 ms dev 1 BULK_OR_INTERRUPT_TRANSFER IN ep 81 len 10 data 30303030303030303030 "
        "SUCCESS",
        "11.000 ms dev 1 ABORT_PIPE IN ep 83 data - SUCCESS",
        "11.000 ms dev 1 BULK_OR_INTERRUPT_TRANSFER IN data - INVALID_PIPE_HANDLE",
        "11.000 ms dev 1 0x0099 OUT data - INVALID_URB_FUNCTION",
    };
    EXPECT_EQ(device->Capture().Trace(), expected);

    const sim::UrbRecord& poll = device->Capture().Records()[7];
    EXPECT_EQ(poll.submitted, 8 * kMillisecond);
    EXPECT_EQ(poll.completed, 10 * kMillisecond);
    EXPECT_EQ(poll.transfer, sim::UsbTransferType::Interrupt);
    EXPECT_EQ(device->Capture().Records().back().ntStatus, STATUS_INVALID_PARAMETER);

    // Records can be cleared, or not kept at all while a listener still sees them.
    device->Capture().Clear();
    EXPECT_TRUE(device->Capture().Records().empty());
    std::vector<std::string> heard;
    device->Capture().SetListener(
        [&](const sim::UrbRecord& r) { heard.push_back(sim::FormatUrbRecord(r)); });
    device->Capture().SetKeepRecords(false);
    URB write = VendorRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0x0101, 0x0002, nullptr, 0);
    Run(&write);
    EXPECT_TRUE(device->Capture().Records().empty());
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_NE(heard[0].find("setup 40 01 0101 0002 0000"), std::string::npos);
}

std::string RunCommand(const std::string& command, int* exitCode) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        *exitCode = -1;
        return output;
    }
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0)
        output.append(buf.data(), n);
    *exitCode = pclose(pipe);
    return output;
}

TEST_F(UsbCaptureTest, PcapOpensInTsharkWithTheSetupPacketsDecoded) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed";
    const std::string path = simtest::TempPath("usb_capture_test.pcap");
    Plug();
    ASSERT_TRUE(device->Capture().OpenPcap(path));
    Session();
    device->Capture().ClosePcap();
    const std::string tshark = "tshark -r " + path + " ";

    int code = -1;
    std::string summary = RunCommand(tshark + "2>/dev/null", &code);
    EXPECT_EQ(code, 0);
    // Control transfers are setup, [data,] completion; the rest one record each way.
    EXPECT_EQ(std::count(summary.begin(), summary.end(), '\n'), 25);
    std::string detail = RunCommand(tshark + "-V 2>&1", &code);
    EXPECT_EQ(code, 0);
    for (const char* bad : {"Malformed", "Expert Info (Error", "Exception", "Unknown type"})
        EXPECT_EQ(detail.find(bad), std::string::npos) << bad;

    const std::string fields = " -T fields -E separator=, ";
    EXPECT_EQ(RunCommand(tshark + "-Y usb.setup.bRequest" + fields +
                             "-e usb.bmRequestType -e usb.setup.bRequest -e usb.setup.wValue -e "
                             "usb.setup.wIndex "
                             "-e usb.setup.wLength -e usb.bDescriptorType -e "
                             "usb.bConfigurationValue 2>/dev/null",
                         &code),
              "0x80,6,,,18,0x01,\n"      // GET_DESCRIPTOR (DEVICE): value and index decoded by name
              "0x40,1,0x0606,170,0,,\n"  // register write
              "0xc0,1,0x8686,0,2,,\n"    // register read
              "0x21,2,0x0001,0,2,,\n"    // class write: its setup stage
              "0x21,2,0x0001,0,2,,\n"    // and its data stage, matched to that setup
              "0x00,9,,0,0,,1\n");       // SET_CONFIGURATION 1
    EXPECT_EQ(
        RunCommand(tshark + "-Y \"usb.capdata || usb.control.Response || usb.data_fragment\"" +
                       fields +
                       "-e frame.time_relative -e usb.irp_info.direction -e usb.endpoint_address "
                       "-e usb.capdata -e usb.control.Response -e usb.data_fragment 2>/dev/null",
                   &code),
        "0.004000000,0x01,0x80,,aa01,\n"  // read's data, on its way up
        "0.004000000,0x00,0x00,,,3412\n"  // class write's data, on its way down
        "0.006000000,0x00,0x02,616263,,\n"
        "0.008000000,0x01,0x83,7879,,\n"
        "0.010000000,0x01,0x81,30303030303030303030,,\n");
    EXPECT_EQ(RunCommand(tshark + "-Y \"usb.usbd_status != 0\"" + fields +
                             "-e usb.function -e usb.usbd_status 2>/dev/null",
                         &code),
              "0x0009,0x80000600\n0x0099,0x80000200\n");
    std::remove(path.c_str());
}

}  // namespace
