#include "system/dll_search.h"

#include "system/windows_api.h"

namespace voxtrel {

void restrict_dll_search() noexcept {
  // A failure is ignored. The call fails only for flags it does not know (ERROR_INVALID_PARAMETER),
  // and every Windows the manifest names knows this one; the DLLs the image imports are loaded
  // before main from the system's KnownDLLs whatever the search order; and a tool that stopped
  // here would leave the agent in place.
  (void)SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace voxtrel
