// SmmProbe: a UEFI application that plays the operating system's tools against the board
// drivers running in real SMM. It places request records where an OS tool would (ACPI NVS
// and reserved memory), passes their address in EBX/ECX, raises software SMIs 0x90 and
// 0xE0 with OUT DX,AL to the APM control port 0xB2, raises the test machine's power-button
// and S5 events, then leaves hostile record addresses in EBX/ECX. Every step prints one
// "probe:" line on the console; the test reads them from the serial log. It keeps its own
// reading of the request record and of the 0xE0 register protocol, as an OS tool would.
// The hostile steps come last: a machine that dies in SMM ends the log there.
#include "uefi/PiSmm.h"
#include "uefi/UefiSpec.h"

namespace {

// ---- what the application needs beyond the driver-side type layer
struct TextOutput {
  VOID* Reset;
  EFI_STATUS(EFIAPI* OutputString)(TextOutput* This, const CHAR16* String);
};
enum AllocateType : UINT32 { AllocateAnyPages = 0, AllocateMaxAddress = 1 };
typedef EFI_STATUS(EFIAPI* AllocatePagesFn)(AllocateType Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                             EFI_PHYSICAL_ADDRESS* Memory);
typedef VOID(EFIAPI* ResetSystemFn)(UINT32 ResetType, EFI_STATUS ResetStatus, UINTN DataSize, VOID* ResetData);
constexpr UINT32 kEfiResetShutdown = 2;
constexpr EFI_MEMORY_TYPE kBootServicesData = static_cast<EFI_MEMORY_TYPE>(4);
constexpr EFI_MEMORY_TYPE kAcpiMemoryNvs = static_cast<EFI_MEMORY_TYPE>(10);

// ---- the request record as the flash tool lays it out (88 bytes)
constexpr UINT64 kRecordSignature = 0x00, kRecordFunction = 0x04, kRecordStatus = 0x08, kRecordAddress = 0x10,
                 kRecordSize = 0x14, kRecordBuffer = 0x18, kRecordVolumeBase = 0x1C, kRecordNameSignature = 0x20,
                 kRecordNameLength = 0x24, kRecordNameText = 0x28, kRecordBytes = 88;
constexpr UINT32 kSignatureBdr = 0x52444224;  // "$BDR"
constexpr UINT32 kSignatureSdb = 0x42445324;  // "$SDB"
constexpr UINT64 kUntouched = 0x0BADC0DE0BADC0DEULL;  // what the tool leaves in fields it expects untouched

constexpr UINT8 kFlashServiceSmi = 0x90;
constexpr UINT8 kBoardServiceSmi = 0xE0;
constexpr UINT8 kEventReportImages = 0xF0;
constexpr UINT8 kEventPowerButton = 0xF1;
constexpr UINT8 kEventS3Entry = 0xF3;
constexpr UINT8 kEventS5Entry = 0xF5;
constexpr UINT16 kApmControlPort = 0xB2;

TextOutput* gConsole = nullptr;

void Print(const char* text) {
  CHAR16 wide[160];
  UINTN n = 0;
  for (; text[n] != 0 && n + 3 < sizeof wide / sizeof wide[0]; ++n) wide[n] = static_cast<CHAR16>(text[n]);
  wide[n++] = u'\r';
  wide[n++] = u'\n';
  wide[n] = 0;
  gConsole->OutputString(gConsole, wide);
}

// A line under construction: text and hexadecimal numbers.
struct Line {
  char text[150];
  UINTN length = 0;
  Line& operator<<(const char* s) {
    while (*s != 0 && length + 1 < sizeof text) text[length++] = *s++;
    text[length] = 0;
    return *this;
  }
  Line& operator<<(UINT64 value) {
    char digits[19] = {'0', 'x'};
    int count = 0;
    UINT64 v = value;
    do {
      ++count;
      v >>= 4;
    } while (v != 0);
    for (int i = 0; i < count; ++i) digits[2 + count - 1 - i] = "0123456789ABCDEF"[(value >> (4 * i)) & 0xF];
    digits[2 + count] = 0;
    return *this << digits;
  }
  ~Line() { Print(text); }
};

template <typename T>
T Peek(UINT64 address) {
  return *reinterpret_cast<volatile T*>(address);
}
template <typename T>
void Poke(UINT64 address, T value) {
  *reinterpret_cast<volatile T*>(address) = value;
}

struct Registers {
  UINT64 rax, rbx, rcx;
};

// OUT DX,AL with DX = 0xB2: the SMI is taken on this instruction, and the saved state the
// handlers read and write is this processor's. QEMU without hardware acceleration takes the
// SMI only where its translated block ends, and would otherwise run the instructions that
// read the answer before the handler: the jump ends the block at the OUT, as the processor
// would take the SMI there.
Registers RaiseSmi(UINT8 value, UINT64 rax, UINT64 rbx, UINT64 rcx) {
  rax = (rax & ~0xFFULL) | value;
  UINT64 rdx = kApmControlPort;
  asm volatile("outb %%al, %%dx\n\tjmp 1f\n1:" : "+a"(rax), "+b"(rbx), "+c"(rcx), "+d"(rdx) : : "memory");
  return {rax, rbx, rcx};
}

void FillRecord(UINT64 record, UINT32 signature, UINT32 function) {
  for (UINT64 i = 0; i < kRecordBytes; i += 8) Poke<UINT64>(record + i, kUntouched);
  Poke<UINT32>(record + kRecordSignature, signature);
  Poke<UINT32>(record + kRecordFunction, function);
  Poke<UINT32>(record + kRecordVolumeBase, 0);
}

UINT64 FlashRequest(UINT64 record) {
  RaiseSmi(kFlashServiceSmi, 0, record & 0xFFFFFFFF, record >> 32);
  return Peek<UINT64>(record + kRecordStatus);
}

// Upper halves of RAX and RBX that the board service must hand back unchanged.
constexpr UINT64 kRaxUpper = 0x1122334455660000ULL;
constexpr UINT64 kRbxUpper = 0x99AABBCCDDEE0000ULL;

void BoardRequest(const char* label, UINT8 function, UINT16 bx) {
  Registers out = RaiseSmi(kBoardServiceSmi, kRaxUpper | static_cast<UINT64>(function) << 8, kRbxUpper | bx, 0);
  Line() << "probe: e0 " << label << " rax=" << out.rax << " rbx=" << out.rbx;
}

// SMM still answers: a presence check gets its 0xAA55.
void CheckAlive(const char* after) {
  Registers out = RaiseSmi(kBoardServiceSmi, 0, 0x55AA, 0);
  Line() << "probe: alive after " << after << " bx=" << (out.rbx & 0xFFFF);
}

void HostileFlashRequest(const char* label, UINT64 address, bool record_readable) {
  Line() << "probe: hostile " << label << " raising at " << address;
  if (record_readable) FillRecord(address, kSignatureBdr, 0);
  RaiseSmi(kFlashServiceSmi, 0, address & 0xFFFFFFFF, address >> 32);
  if (record_readable) Line() << "probe: hostile " << label << " status=" << Peek<UINT64>(address + kRecordStatus);
  CheckAlive(label);
}

}  // namespace

extern "C" void* memset(void* d, int c, unsigned long long n) {
  auto* p = static_cast<volatile unsigned char*>(d);
  for (unsigned long long i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(c);
  return d;
}

extern "C" EFI_STATUS EFIAPI EfiMain(EFI_HANDLE, EFI_SYSTEM_TABLE* st) {
  gConsole = static_cast<TextOutput*>(st->ConOut);
  EFI_BOOT_SERVICES* bs = st->BootServices;
  auto allocate_pages = reinterpret_cast<AllocatePagesFn>(bs->AllocatePages);
  Print("probe: start");
  RaiseSmi(kEventReportImages, 0, 0, 0);  // the dispatcher lists the loaded SMM images

  // SMRAM as the SMM access protocol reports it: the first range is a hostile address.
  EFI_GUID access_guid = EFI_SMM_ACCESS2_PROTOCOL_GUID;
  VOID* iface = nullptr;
  UINT64 smram = 0;
  if (!EFI_ERROR(bs->LocateProtocol(&access_guid, nullptr, &iface))) {
    auto* access = static_cast<EFI_SMM_ACCESS2_PROTOCOL*>(iface);
    EFI_SMRAM_DESCRIPTOR map[8];
    UINTN size = sizeof map;
    if (!EFI_ERROR(access->GetCapabilities(access, &size, map))) {
      for (UINTN i = 0; i < size / sizeof map[0]; ++i)
        Line() << "probe: smram " << map[i].CpuStart << " size=" << map[i].PhysicalSize;
      smram = map[0].CpuStart;
    }
  }

  EFI_PHYSICAL_ADDRESS nvs = 0xFFFFFFFF, reserved = 0xFFFFFFFF, boot_data = 0xFFFFFFFF;
  EFI_STATUS s1 = allocate_pages(AllocateMaxAddress, kAcpiMemoryNvs, 1, &nvs);
  EFI_STATUS s2 = allocate_pages(AllocateMaxAddress, EfiReservedMemoryType, 1, &reserved);
  EFI_STATUS s3 = allocate_pages(AllocateMaxAddress, kBootServicesData, 1, &boot_data);
  Line() << "probe: records nvs=" << nvs << " reserved=" << reserved << " bootdata=" << boot_data << " status="
         << (s1 | s2 | s3);
  if (EFI_ERROR(s1 | s2 | s3)) return EFI_OUT_OF_RESOURCES;

  // Flash part report: QEMU has no PCH SPI controller.
  FillRecord(nvs, kSignatureBdr, 0);
  UINT64 status = FlashRequest(nvs);
  Line() << "probe: bdr0 status=" << status << " address=" << Peek<UINT32>(nvs + kRecordAddress)
         << " size=" << Peek<UINT32>(nvs + kRecordSize) << " buffer=" << Peek<UINT32>(nvs + kRecordBuffer);
  Line() << "probe: bdr0 namesig=" << Peek<UINT32>(nvs + kRecordNameSignature)
         << " namelen=" << Peek<UINT32>(nvs + kRecordNameLength) << " name0=" << Peek<UINT64>(nvs + kRecordNameText);

  // Area lookups over the machine's real flash (the volume named at 0xFFFFFFFC). The record
  // stays in the ACPI NVS page: this firmware reports its NVS bin as NVS from boot on, so the
  // page was memory SMM keeps mapped at ready-to-lock.
  const UINT32 lookups[] = {1, 2, 3};  // layout file, layout entry, area file
  for (UINT32 function : lookups) {
    FillRecord(nvs, kSignatureSdb, function);
    status = FlashRequest(nvs);
    char label[] = "probe: sdbN";
    label[sizeof label - 2] = static_cast<char>('0' + function);
    Line() << label << " status=" << status
           << " address=" << Peek<UINT32>(nvs + kRecordAddress) << " size=" << Peek<UINT32>(nvs + kRecordSize);
  }
  CheckAlive("area lookups");

  // A reserved page taken now, after ready-to-lock, was free memory when SMM built its page
  // table: unless the firmware's reserved bin held it, SMM must leave it alone.
  FillRecord(reserved, kSignatureBdr, 0);
  Line() << "probe: late-reserved status=" << FlashRequest(reserved);
  CheckAlive("late-reserved");

  BoardRequest("presence", 0x00, 0x55AA);
  BoardRequest("presence-wrong", 0x00, 0x1234);
  BoardRequest("me-manufacturing", 0x02, 0x7777);
  BoardRequest("me-operation", 0x03, 0x7777);
  BoardRequest("unknown", 0x7F, 0x4321);

  const UINT8 events[] = {kEventPowerButton, kEventS3Entry, kEventS5Entry};
  for (UINT8 event : events) {
    Line() << "probe: event " << static_cast<UINT64>(event);
    RaiseSmi(event, 0, 0, 0);
  }
  CheckAlive("events");

  // BiosGuardVarDxe on a processor without BIOS Guard writes nothing.
  EFI_GUID vendor = {0x368B3153, 0x563D, 0x4610, {0x8D, 0x94, 0x47, 0xA9, 0xFA, 0x8C, 0x4C, 0x16}};
  CHAR16 name[] = u"BiosGuardCapsuleVariable";
  UINT8 data[16];
  UINTN data_size = sizeof data;
  status = st->RuntimeServices->GetVariable(name, &vendor, nullptr, &data_size, data);
  Line() << "probe: variable status=" << status;

  // Hostile record addresses, as leftover or malicious register values leave them.
  HostileFlashRequest("boot-services-data", boot_data, true);
  HostileFlashRequest("0xB3", 0xB3, true);
  if (smram != 0) HostileFlashRequest("smram", smram, false);
  HostileFlashRequest("mmio", 0xFED00000, false);
  HostileFlashRequest("above-4g", 0x7FFFFFF000ULL, false);

  Print("probe: done");
  reinterpret_cast<ResetSystemFn>(st->RuntimeServices->ResetSystem)(kEfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  return EFI_SUCCESS;
}
