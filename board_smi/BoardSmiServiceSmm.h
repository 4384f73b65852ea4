// BoardSmiServiceSmm: software SMI 0xE0, function code in AH, argument in BX; answers in
// AX and BX of the calling processor's save state.
#pragma once

#include "pch/GpioPadSettings.h"
#include "pch/PmcRegisters.h"
#include "uefi/PiSmm.h"

constexpr UINTN BoardSwSmiValue = 0xE0;

// Function codes (AH).
constexpr UINT8 kBoardSmiPresenceCheck = 0x00;
constexpr UINT8 kBoardSmiResetWithPad = 0x01;
constexpr UINT8 kBoardSmiMeManufacturingMode = 0x02;
constexpr UINT8 kBoardSmiMeOperationMode = 0x03;

constexpr UINT16 kBoardSmiPresenceRequest = 0x55AA;
constexpr UINT16 kBoardSmiPresenceAnswer = 0xAA55;
constexpr UINT8 kBoardSmiStatusBadSignature = 0x01;  // AH out

// GPP_D23 of a PCH-H, prepared before the reset.
constexpr GpioPadId BoardResetPad = 0x03030017;
// GPIO output, input buffer off, every interrupt route and enable off, host software
// owned, no termination; reset domain RSMRST# or PLTRST#.
constexpr GpioPadSettings ResetPadSettingsRsmrst = {0x090082E1, 0x00000001};
constexpr GpioPadSettings ResetPadSettingsPltrst = {0x0D0082E1, 0x00000001};

// Through RST_CNT: a hard reset with a power cycle.
constexpr UINT16 kResetControlPort = pmc::RstCnt::kPort;
constexpr UINT8 kBoardResetCommand =
    static_cast<UINT8>(pmc::RstCnt::SysRst::kMask | pmc::RstCnt::RstCpu::kMask | pmc::RstCnt::FullRst::kMask);
static_assert(kBoardResetCommand == 0x0E);

struct BoardSmiServiceState {
  EFI_SMM_CPU_PROTOCOL* SmmCpu = nullptr;
};
extern constinit BoardSmiServiceState gBoardSmiService;

EFI_STATUS EFIAPI BoardSmiHandler(EFI_HANDLE DispatchHandle, const VOID* Context, VOID* CommBuffer,
                                  UINTN* CommBufferSize);
