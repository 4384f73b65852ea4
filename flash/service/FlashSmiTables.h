// Signatures and functions of the software-SMI 0x90 flash service.
#pragma once

#include "flash/service/FlashServiceOperations.h"

constexpr UINT8 kFlashServiceSwSmiValue = 0x90;

// A 32-bit Signature is four ASCII characters stored little-endian ("$GB1" = 0x31424724).
constexpr UINT32 FlashSignature(const char (&Text)[5]) {
  return static_cast<UINT32>(static_cast<UINT8>(Text[0])) | static_cast<UINT32>(static_cast<UINT8>(Text[1])) << 8 |
         static_cast<UINT32>(static_cast<UINT8>(Text[2])) << 16 | static_cast<UINT32>(static_cast<UINT8>(Text[3])) << 24;
}

enum class FlashSmiAction : UINT8 {
  ReportPartName,
  LocateLayoutFile,
  LocateLayoutEntry,
  LocateAreaFile,
  ReadFlash,
  PrepareAndEraseFlash,
  PrepareAndWriteFlash,
  PlatformOperation4,
  PlatformOperation5,
  FlashUpdatePrepare,
};

struct FlashSmiFunction {
  UINT32 Function;
  FlashSmiAction Action;
};

// The seven area signatures. Function 0 is served only where the signature row allows it.
constexpr FlashSmiFunction kAreaFunctions[] = {
    {0, FlashSmiAction::ReportPartName},
    {1, FlashSmiAction::LocateLayoutFile},
    {2, FlashSmiAction::LocateLayoutEntry},
    {3, FlashSmiAction::LocateAreaFile},
};

// "$GB1": flash access.
constexpr FlashSmiFunction kFlashAccessFunctions[] = {
    {4, FlashSmiAction::ReadFlash},
    {5, FlashSmiAction::PrepareAndEraseFlash},
    {6, FlashSmiAction::PrepareAndWriteFlash},
    {7, FlashSmiAction::PlatformOperation4},
    {8, FlashSmiAction::PlatformOperation5},
    {10, FlashSmiAction::FlashUpdatePrepare},
};

struct FlashSmiSignature {
  UINT32 Signature;
  EFI_GUID AreaGuid;  // used by functions 2 and 3
  const FlashSmiFunction* Functions;
  UINT32 FunctionCount;
  BOOLEAN ReportsPartName;
};

constexpr UINT32 kAreaFunctionCount = sizeof kAreaFunctions / sizeof kAreaFunctions[0];
constexpr UINT32 kFlashAccessFunctionCount = sizeof kFlashAccessFunctions / sizeof kFlashAccessFunctions[0];

constexpr FlashSmiSignature kFlashSmiSignatures[] = {
    {FlashSignature("$GB1"), {}, kFlashAccessFunctions, kFlashAccessFunctionCount, FALSE},
    {FlashSignature("$SDB"),
     {0xA28B3558, 0x173A, 0x44E7, {0xA0, 0x69, 0x46, 0xF3, 0xA5, 0x99, 0xA1, 0x18}},
     kAreaFunctions, kAreaFunctionCount, FALSE},
    {FlashSignature("DECG"),
     {0x94ADC204, 0x7AB1, 0x4E5C, {0xA5, 0x34, 0xDD, 0x82, 0x3E, 0x2F, 0x32, 0xBE}},
     kAreaFunctions, kAreaFunctionCount, FALSE},
    {FlashSignature("$STL"),
     {0xBE63DD43, 0x2D28, 0x467B, {0x9A, 0x7D, 0x0E, 0x95, 0x10, 0xAB, 0xA4, 0x54}},
     kAreaFunctions, kAreaFunctionCount, FALSE},
    {FlashSignature("$TPM"),
     {0x0B71D630, 0x2BAD, 0x4797, {0xAB, 0xD6, 0x08, 0x8E, 0x95, 0xD0, 0xDE, 0x47}},
     kAreaFunctions, kAreaFunctionCount, FALSE},
    {FlashSignature("$BDR"), FLASH_LAYOUT_FILE_GUID, kAreaFunctions, kAreaFunctionCount, TRUE},
    {FlashSignature("$FMR"),
     {0xA68A420F, 0xF3B9, 0x4752, {0xAE, 0x9A, 0x8B, 0x73, 0x3E, 0xE2, 0x54, 0xBD}},
     kAreaFunctions, kAreaFunctionCount, FALSE},
    {FlashSignature("$MTR"),
     {0x10CE2542, 0xD547, 0x4CFA, {0xA9, 0xA7, 0x3E, 0x5B, 0xF5, 0xA8, 0x7B, 0x89}},
     kAreaFunctions, kAreaFunctionCount, FALSE},
};
static_assert(FlashSignature("$GB1") == 0x31424724 && FlashSignature("DECG") == 0x47434544);
