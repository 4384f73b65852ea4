// BoardSmiServiceSmm: software SMI 0xE0, function code in AH, argument in BX; answers in
// AX and BX of the calling processor's save state.
#pragma once

#include "pch/GpioPadSettings.h"
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

// Reset control register (RST_CNT), I/O port 0xCF9.
constexpr UINT16 kResetControlPort = 0xCF9;
constexpr UINT8 kRstCntSysRst = 1u << 1;   // hard reset
constexpr UINT8 kRstCntRstCpu = 1u << 2;   // start the reset
constexpr UINT8 kRstCntFullRst = 1u << 3;  // with a power cycle
constexpr UINT8 kBoardResetCommand = kRstCntSysRst | kRstCntRstCpu | kRstCntFullRst;

struct BoardSmiServiceState {
  EFI_SMM_CPU_PROTOCOL* SmmCpu = nullptr;
};
extern constinit BoardSmiServiceState gBoardSmiService;

EFI_STATUS EFIAPI BoardSmiHandler(EFI_HANDLE DispatchHandle, const VOID* Context, VOID* CommBuffer,
                                  UINTN* CommBufferSize);
