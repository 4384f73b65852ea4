// How the simulated firmware's tables and protocols look to an emulated image: their size,
// which services hand out interfaces or take the image's functions, and which data fields
// point at strings or arrays. Function-pointer slots need no entry: any slot that holds
// simulator code becomes a stub, so a service added to a table is reachable at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "uefi/PiSmm.h"

namespace sim {

// What the simulator must do when it calls a function of an image.
enum class CallbackKind {
  kValues,      // arguments passed as they are (interfaces of the simulator become their views)
  kSmiHandler,  // (DispatchHandle, Context, CommBuffer, CommBufferSize): the three records copied in
  kNotify,      // (Protocol GUID, Interface, Handle): the GUID copied in
};

struct ServiceRule {
  uint32_t offset;            // of the function-pointer slot
  int out_interface_arg = -1;  // argument that points at the interface pointer the service fills
  int guid_arg = -1;           // argument naming the protocol of that interface
  int callback_arg = -1;       // argument that is a function of the image
  CallbackKind callback = CallbackKind::kValues;
  uint32_t context_size = 0;  // kSmiHandler: bytes of the registration context
};

enum class FieldKind { kString16, kArray };
struct FieldRule {
  uint32_t offset;
  FieldKind kind;
  uint32_t count_offset = 0;  // kArray: UINTN field holding the element count
  uint32_t element_size = 0;
};

struct InterfaceLayout {
  const char* name;
  uint32_t size;
  std::span<const ServiceRule> services;
  std::span<const FieldRule> fields;
  const ServiceRule* RuleAt(uint32_t offset) const {
    for (const ServiceRule& r : services)
      if (r.offset == offset) return &r;
    return nullptr;
  }
};

const InterfaceLayout& SystemTableLayout();
const InterfaceLayout& BootServicesLayout();
const InterfaceLayout& RuntimeServicesLayout();
const InterfaceLayout& SmstLayout();
// The configuration tables the simulator publishes in the system table; nullptr for others.
const InterfaceLayout* ConfigurationTableLayout(const EFI_GUID& guid);
// The protocols the simulator itself provides; nullptr for others.
const InterfaceLayout* ProtocolLayout(const EFI_GUID& guid);

// Bytes of the CommBuffer each dispatcher hands its handlers, by registration-context size.
uint32_t SmiHandlerCommBufferSize(uint32_t context_size);

}  // namespace sim
