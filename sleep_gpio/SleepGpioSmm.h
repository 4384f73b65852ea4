// SleepGpioSmm: drives two board pads high on a power-button press and on S4/S5 entry.
#pragma once

#include "pch/GpioPad.h"
#include "uefi/PiSmm.h"

// GPP_D9 and GPP_D19 of a PCH-H, driven in this order.
constexpr GpioPadId kSleepGpioFirstPad = 0x03030009;
constexpr GpioPadId kSleepGpioSecondPad = 0x03030013;

EFI_STATUS EFIAPI SleepGpioEventHandler(EFI_HANDLE DispatchHandle, const VOID* Context, VOID* CommBuffer,
                                        UINTN* CommBufferSize);
EFI_STATUS EFIAPI SleepGpioS3Handler(EFI_HANDLE DispatchHandle, const VOID* Context, VOID* CommBuffer,
                                     UINTN* CommBufferSize);
