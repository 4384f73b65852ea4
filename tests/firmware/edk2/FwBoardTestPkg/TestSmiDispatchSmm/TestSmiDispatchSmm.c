/** @file
  SMI child dispatchers for the QEMU q35 test machine.

  QEMU's ICH9 raises an SMI for every write to the APM control port (APM_CNT, 0xB2)
  once APMC_EN is set, which OVMF's SmmControl2Dxe does. One root SMI handler reads
  APM_CNT and calls the children registered for that value:

    0xF0             lists the loaded SMM images (file GUID, base, size) on the debug port
    0xF1             power-button handlers (entry phase)
    0xF3, 0xF4, 0xF5 Sx handlers for S3, S4, S5 (entry phase)
    anything else    the software-SMI handler registered for the value

  The Sx type cannot travel in APM_STS (0xB3): SmmControl2Dxe rewrites that port on every
  SMM communication from DXE. QEMU records no I/O information in the SMM save state, so
  the processor that raised a software SMI is found as the one whose saved DX is the APM
  control port and whose saved AL is the command (an OUT DX,AL or OUT imm8,AL leaves AL).

  Every call of a child is logged to the debug port with the handler's address and its
  status; with the image list of 0xF0 a test can tell which image served which event
  (images without a debug directory are not named by the SMM core's load messages).
**/

#include <PiSmm.h>
#include <Protocol/SmmCpu.h>
#include <Protocol/SmmSwDispatch2.h>
#include <Protocol/SmmPowerButtonDispatch2.h>
#include <Protocol/SmmSxDispatch2.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/DevicePath.h>
#include <Library/BaseLib.h>
#include <Library/DebugLib.h>
#include <Library/IoLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/SmmServicesTableLib.h>

#define APM_CNT  0xB2
#define APM_STS  0xB3

#define EVENT_REPORT_IMAGES  0xF0
#define EVENT_POWER_BUTTON  0xF1
#define EVENT_S3_ENTRY      0xF3
#define EVENT_S5_ENTRY      0xF5

#define LARGEST_SW_VALUE  0xFF

#define CHILD_SIGNATURE  SIGNATURE_32 ('T', 'S', 'D', 'C')

typedef enum {
  ChildSoftware,
  ChildPowerButton,
  ChildSx
} CHILD_KIND;

typedef struct {
  UINT32                                   Signature;
  LIST_ENTRY                               Link;
  CHILD_KIND                               Kind;
  EFI_SMM_HANDLER_ENTRY_POINT2             Handler;
  UINTN                                    SwValue;
  EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT    PowerButton;
  EFI_SMM_SX_REGISTER_CONTEXT              Sx;
} CHILD;

STATIC LIST_ENTRY            mChildren = INITIALIZE_LIST_HEAD_VARIABLE (mChildren);
STATIC EFI_SMM_CPU_PROTOCOL  *mSmmCpu;

//
// The frame-support protocol carries no data; the board drivers only require that it exists.
//
STATIC UINT64  mFrameSupport;

STATIC
BOOLEAN
IsEventValue (
  IN UINTN  Value
  )
{
  return (BOOLEAN)(Value == EVENT_REPORT_IMAGES || Value == EVENT_POWER_BUTTON ||
                   (Value >= EVENT_S3_ENTRY && Value <= EVENT_S5_ENTRY));
}

STATIC
CHILD *
FindSoftwareChild (
  IN UINTN  Value
  )
{
  LIST_ENTRY  *Node;
  CHILD       *Child;

  for (Node = GetFirstNode (&mChildren); !IsNull (&mChildren, Node); Node = GetNextNode (&mChildren, Node)) {
    Child = CR (Node, CHILD, Link, CHILD_SIGNATURE);
    if ((Child->Kind == ChildSoftware) && (Child->SwValue == Value)) {
      return Child;
    }
  }

  return NULL;
}

STATIC
CHILD *
NewChild (
  IN CHILD_KIND                    Kind,
  IN EFI_SMM_HANDLER_ENTRY_POINT2  Handler
  )
{
  CHILD  *Child;

  Child = AllocateZeroPool (sizeof (*Child));
  if (Child != NULL) {
    Child->Signature = CHILD_SIGNATURE;
    Child->Kind      = Kind;
    Child->Handler   = Handler;
    InsertTailList (&mChildren, &Child->Link);
  }

  return Child;
}

STATIC
EFI_STATUS
RemoveChild (
  IN EFI_HANDLE  DispatchHandle
  )
{
  LIST_ENTRY  *Node;
  CHILD       *Child;

  for (Node = GetFirstNode (&mChildren); !IsNull (&mChildren, Node); Node = GetNextNode (&mChildren, Node)) {
    Child = CR (Node, CHILD, Link, CHILD_SIGNATURE);
    if ((EFI_HANDLE)Child == DispatchHandle) {
      RemoveEntryList (Node);
      FreePool (Child);
      return EFI_SUCCESS;
    }
  }

  return EFI_INVALID_PARAMETER;
}

STATIC
EFI_STATUS
EFIAPI
SwRegister (
  IN  CONST EFI_SMM_SW_DISPATCH2_PROTOCOL  *This,
  IN        EFI_SMM_HANDLER_ENTRY_POINT2   DispatchFunction,
  IN  OUT   EFI_SMM_SW_REGISTER_CONTEXT    *RegisterContext,
  OUT       EFI_HANDLE                     *DispatchHandle
  )
{
  CHILD  *Child;
  UINTN  Value;

  if ((DispatchFunction == NULL) || (RegisterContext == NULL) || (DispatchHandle == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  Value = RegisterContext->SwSmiInputValue;
  if (Value == (UINTN)-1) {
    //
    // The caller lets the dispatcher choose: the lowest free value below the event values.
    //
    for (Value = 1; Value < EVENT_REPORT_IMAGES && FindSoftwareChild (Value) != NULL; Value++) {
    }

    if (Value == EVENT_REPORT_IMAGES) {
      return EFI_OUT_OF_RESOURCES;
    }
  }

  if ((Value == 0) || (Value > LARGEST_SW_VALUE) || IsEventValue (Value) || (FindSoftwareChild (Value) != NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  Child = NewChild (ChildSoftware, DispatchFunction);
  if (Child == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Child->SwValue                   = Value;
  RegisterContext->SwSmiInputValue = Value;
  *DispatchHandle                  = (EFI_HANDLE)Child;
  DEBUG ((DEBUG_INFO, "TestSmiDispatch: register sw 0x%02x handler 0x%p\n", Value, DispatchFunction));
  return EFI_SUCCESS;
}

STATIC
EFI_STATUS
EFIAPI
SwUnRegister (
  IN CONST EFI_SMM_SW_DISPATCH2_PROTOCOL  *This,
  IN       EFI_HANDLE                     DispatchHandle
  )
{
  return RemoveChild (DispatchHandle);
}

STATIC
EFI_STATUS
EFIAPI
PowerButtonRegister (
  IN CONST EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL  *This,
  IN       EFI_SMM_HANDLER_ENTRY_POINT2             DispatchFunction,
  IN       EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT    *RegisterContext,
  OUT      EFI_HANDLE                               *DispatchHandle
  )
{
  CHILD  *Child;

  if ((DispatchFunction == NULL) || (RegisterContext == NULL) || (DispatchHandle == NULL) ||
      (RegisterContext->Phase >= EfiPowerButtonMax))
  {
    return EFI_INVALID_PARAMETER;
  }

  Child = NewChild (ChildPowerButton, DispatchFunction);
  if (Child == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Child->PowerButton = *RegisterContext;
  *DispatchHandle    = (EFI_HANDLE)Child;
  DEBUG ((DEBUG_INFO, "TestSmiDispatch: register power-button phase %u handler 0x%p\n", RegisterContext->Phase, DispatchFunction));
  return EFI_SUCCESS;
}

STATIC
EFI_STATUS
EFIAPI
PowerButtonUnRegister (
  IN CONST EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL  *This,
  IN       EFI_HANDLE                               DispatchHandle
  )
{
  return RemoveChild (DispatchHandle);
}

STATIC
EFI_STATUS
EFIAPI
SxRegister (
  IN  CONST EFI_SMM_SX_DISPATCH2_PROTOCOL  *This,
  IN        EFI_SMM_HANDLER_ENTRY_POINT2   DispatchFunction,
  IN  CONST EFI_SMM_SX_REGISTER_CONTEXT    *RegisterContext,
  OUT       EFI_HANDLE                     *DispatchHandle
  )
{
  CHILD  *Child;

  if ((DispatchFunction == NULL) || (RegisterContext == NULL) || (DispatchHandle == NULL) ||
      (RegisterContext->Type >= EfiMaximumSleepType) || (RegisterContext->Phase >= EfiMaximumPhase))
  {
    return EFI_INVALID_PARAMETER;
  }

  Child = NewChild (ChildSx, DispatchFunction);
  if (Child == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Child->Sx       = *RegisterContext;
  *DispatchHandle = (EFI_HANDLE)Child;
  DEBUG ((DEBUG_INFO, "TestSmiDispatch: register S%u phase %u handler 0x%p\n", RegisterContext->Type, RegisterContext->Phase, DispatchFunction));
  return EFI_SUCCESS;
}

STATIC
EFI_STATUS
EFIAPI
SxUnRegister (
  IN CONST EFI_SMM_SX_DISPATCH2_PROTOCOL  *This,
  IN       EFI_HANDLE                     DispatchHandle
  )
{
  return RemoveChild (DispatchHandle);
}

STATIC EFI_SMM_SW_DISPATCH2_PROTOCOL            mSwDispatch          = { SwRegister, SwUnRegister, LARGEST_SW_VALUE };
STATIC EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL  mPowerButtonDispatch = { PowerButtonRegister, PowerButtonUnRegister };
STATIC EFI_SMM_SX_DISPATCH2_PROTOCOL            mSxDispatch          = { SxRegister, SxUnRegister };

/**
  Index of the processor that wrote Command to APM_CNT, or the processor running this
  handler when no saved state shows the write.
**/
STATIC
UINTN
RaisingProcessor (
  IN UINT8  Command
  )
{
  UINTN  Index;
  UINT64 Rax;
  UINT64 Rdx;

  if ((mSmmCpu == NULL) &&
      EFI_ERROR (gSmst->SmmLocateProtocol (&gEfiSmmCpuProtocolGuid, NULL, (VOID **)&mSmmCpu)))
  {
    mSmmCpu = NULL;
    return gSmst->CurrentlyExecutingCpu;
  }

  for (Index = 0; Index < gSmst->NumberOfCpus; Index++) {
    Rax = 0;
    Rdx = 0;
    if (EFI_ERROR (mSmmCpu->ReadSaveState (mSmmCpu, sizeof (Rax), EFI_SMM_SAVE_STATE_REGISTER_RAX, Index, &Rax)) ||
        EFI_ERROR (mSmmCpu->ReadSaveState (mSmmCpu, sizeof (Rdx), EFI_SMM_SAVE_STATE_REGISTER_RDX, Index, &Rdx)))
    {
      continue;
    }

    if (((UINT16)Rdx == APM_CNT) && ((UINT8)Rax == Command)) {
      return Index;
    }
  }

  return gSmst->CurrentlyExecutingCpu;
}

/**
  Logs every image the SMM core loaded: the file GUID from its LoadedImage file path, its
  base and its size.
**/
STATIC
VOID
ReportImages (
  VOID
  )
{
  EFI_HANDLE                         Handles[64];
  UINTN                              Size;
  UINTN                              Index;
  EFI_LOADED_IMAGE_PROTOCOL          *Image;
  MEDIA_FW_VOL_FILEPATH_DEVICE_PATH  *File;

  Size = sizeof (Handles);
  if (EFI_ERROR (gSmst->SmmLocateHandle (ByProtocol, &gEfiLoadedImageProtocolGuid, NULL, &Size, Handles))) {
    return;
  }

  for (Index = 0; Index < Size / sizeof (EFI_HANDLE); Index++) {
    if (EFI_ERROR (gSmst->SmmHandleProtocol (Handles[Index], &gEfiLoadedImageProtocolGuid, (VOID **)&Image))) {
      continue;
    }

    File = (MEDIA_FW_VOL_FILEPATH_DEVICE_PATH *)Image->FilePath;
    if ((File != NULL) && (File->Header.Type == MEDIA_DEVICE_PATH) && (File->Header.SubType == MEDIA_PIWG_FW_FILE_DP)) {
      DEBUG ((DEBUG_INFO, "TestSmiDispatch: image %g base 0x%p size 0x%lx\n", &File->FvFileName, Image->ImageBase, Image->ImageSize));
    }
  }
}

STATIC
VOID
RunEventChildren (
  IN UINT8  Command
  )
{
  LIST_ENTRY  *Node;
  CHILD       *Child;
  EFI_STATUS  Status;
  UINTN       SxType;

  SxType = (UINTN)SxS3 + Command - EVENT_S3_ENTRY;
  for (Node = GetFirstNode (&mChildren); !IsNull (&mChildren, Node); Node = GetNextNode (&mChildren, Node)) {
    Child = CR (Node, CHILD, Link, CHILD_SIGNATURE);
    if ((Command == EVENT_POWER_BUTTON) && (Child->Kind == ChildPowerButton) &&
        (Child->PowerButton.Phase == EfiPowerButtonEntry))
    {
      Status = Child->Handler ((EFI_HANDLE)Child, &Child->PowerButton, NULL, NULL);
      DEBUG ((DEBUG_INFO, "TestSmiDispatch: power button -> handler 0x%p %r\n", Child->Handler, Status));
    } else if ((Command != EVENT_POWER_BUTTON) && (Child->Kind == ChildSx) && (Child->Sx.Phase == SxEntry) &&
               ((UINTN)Child->Sx.Type == SxType))
    {
      Status = Child->Handler ((EFI_HANDLE)Child, &Child->Sx, NULL, NULL);
      DEBUG ((DEBUG_INFO, "TestSmiDispatch: S%u entry -> handler 0x%p %r\n", SxType, Child->Handler, Status));
    }
  }
}

STATIC
EFI_STATUS
EFIAPI
ApmSmiHandler (
  IN     EFI_HANDLE  DispatchHandle,
  IN     CONST VOID  *Context         OPTIONAL,
  IN OUT VOID        *CommBuffer      OPTIONAL,
  IN OUT UINTN       *CommBufferSize  OPTIONAL
  )
{
  UINT8               Command;
  CHILD               *Child;
  EFI_SMM_SW_CONTEXT  SwContext;
  UINTN               SwContextSize;
  EFI_STATUS          Status;

  Command = IoRead8 (APM_CNT);
  //
  // SMM communication from DXE writes 0 to APM_CNT: that SMI is the SMM core's, not ours.
  //
  if (Command == 0) {
    return EFI_WARN_INTERRUPT_SOURCE_QUIESCED;
  }

  if (Command == EVENT_REPORT_IMAGES) {
    ReportImages ();
    return EFI_SUCCESS;
  }

  if (IsEventValue (Command)) {
    RunEventChildren (Command);
    return EFI_SUCCESS;
  }

  Child = FindSoftwareChild (Command);
  if (Child == NULL) {
    DEBUG ((DEBUG_INFO, "TestSmiDispatch: sw 0x%02x has no handler\n", Command));
    return EFI_WARN_INTERRUPT_SOURCE_QUIESCED;
  }

  SwContext.SwSmiCpuIndex = RaisingProcessor (Command);
  SwContext.CommandPort   = Command;
  SwContext.DataPort      = IoRead8 (APM_STS);
  SwContextSize           = sizeof (SwContext);
  Status                  = Child->Handler ((EFI_HANDLE)Child, &Child->SwValue, &SwContext, &SwContextSize);
  DEBUG ((DEBUG_INFO, "TestSmiDispatch: sw 0x%02x cpu %u -> handler 0x%p %r\n", Command, SwContext.SwSmiCpuIndex, Child->Handler, Status));
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
TestSmiDispatchEntry (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  RootHandle;
  EFI_HANDLE  Handle;

  Status = gSmst->SmiHandlerRegister (ApmSmiHandler, NULL, &RootHandle);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Handle = NULL;
  Status = gSmst->SmmInstallProtocolInterface (&Handle, &gEfiSmmSwDispatch2ProtocolGuid, EFI_NATIVE_INTERFACE, &mSwDispatch);
  if (!EFI_ERROR (Status)) {
    Status = gSmst->SmmInstallProtocolInterface (&Handle, &gEfiSmmPowerButtonDispatch2ProtocolGuid, EFI_NATIVE_INTERFACE, &mPowerButtonDispatch);
  }

  if (!EFI_ERROR (Status)) {
    Status = gSmst->SmmInstallProtocolInterface (&Handle, &gEfiSmmSxDispatch2ProtocolGuid, EFI_NATIVE_INTERFACE, &mSxDispatch);
  }

  if (!EFI_ERROR (Status)) {
    Status = gSmst->SmmInstallProtocolInterface (&Handle, &gFwBoardSmmFrameSupportProtocolGuid, EFI_NATIVE_INTERFACE, &mFrameSupport);
  }

  DEBUG ((DEBUG_INFO, "TestSmiDispatch: dispatchers installed %r\n", Status));
  return Status;
}
