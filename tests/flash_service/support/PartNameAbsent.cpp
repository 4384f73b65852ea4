// Test-only: the part-name report is not in this tree yet. This definition answers
// EFI_UNSUPPORTED and writes nothing, so no test can mistake it for the report.
#include "flash/service/FlashServiceProtocol.h"

UINT64 GetPartName(UINT64) { return EFI_UNSUPPORTED; }
