// FlashServiceRequest: the 88-byte request record that a flash tool (through software
// SMI 0x90) or another SMM driver (through FlashServiceProtocol) hands to the flash
// service. The record lives in the caller's memory and is reached at its physical
// address through platform/ accessors; this struct fixes its layout and names its
// field offsets.
#pragma once

#include "uefi/UefiBaseType.h"

struct FlashServiceRequest {
  UINT32 Signature;          // four ASCII characters naming the request's area
  UINT32 Function;           // sub-function number (software-SMI path only)
  UINT64 Status;             // written only by the software-SMI handler
  UINT32 Address;            // flash address in; found address out
  UINT32 Size;               // byte count in; found size out
  UINT32 Buffer;             // data buffer in; flash size out (part-name report)
  UINT32 VolumeBase;         // firmware volume to search; 0: the base stored at 0xFFFFFFFC
  UINT32 PartNameSignature;  // PartNameBlock: "$FPS"
  UINT32 PartNameLength;     // PartNameBlock: 48
  CHAR8 PartNameText[48];    // PartNameBlock: ASCII part name, zero padded
};

static_assert(sizeof(FlashServiceRequest) == 88);
static_assert(offsetof(FlashServiceRequest, Signature) == 0x00);
static_assert(offsetof(FlashServiceRequest, Function) == 0x04);
static_assert(offsetof(FlashServiceRequest, Status) == 0x08);
static_assert(offsetof(FlashServiceRequest, Address) == 0x10);
static_assert(offsetof(FlashServiceRequest, Size) == 0x14);
static_assert(offsetof(FlashServiceRequest, Buffer) == 0x18);
static_assert(offsetof(FlashServiceRequest, VolumeBase) == 0x1C);
static_assert(offsetof(FlashServiceRequest, PartNameSignature) == 0x20);
static_assert(offsetof(FlashServiceRequest, PartNameLength) == 0x24);
static_assert(offsetof(FlashServiceRequest, PartNameText) == 0x28);

// Field offsets for accesses to a record at its physical address.
constexpr UINT64 kFlashRequestSignature = offsetof(FlashServiceRequest, Signature);
constexpr UINT64 kFlashRequestFunction = offsetof(FlashServiceRequest, Function);
constexpr UINT64 kFlashRequestStatus = offsetof(FlashServiceRequest, Status);
constexpr UINT64 kFlashRequestAddress = offsetof(FlashServiceRequest, Address);
constexpr UINT64 kFlashRequestSize = offsetof(FlashServiceRequest, Size);
constexpr UINT64 kFlashRequestBuffer = offsetof(FlashServiceRequest, Buffer);
constexpr UINT64 kFlashRequestVolumeBase = offsetof(FlashServiceRequest, VolumeBase);
constexpr UINT64 kFlashRequestPartNameSignature = offsetof(FlashServiceRequest, PartNameSignature);
constexpr UINT64 kFlashRequestPartNameLength = offsetof(FlashServiceRequest, PartNameLength);
constexpr UINT64 kFlashRequestPartNameText = offsetof(FlashServiceRequest, PartNameText);
constexpr UINT64 kFlashRequestBytes = sizeof(FlashServiceRequest);
