// The command socket's file: address, safe preparation of the path, removal at exit.
//
// clearSocketPath() never follows or removes a file that is not a stale socket of ours (a
// socket file owned by this user on which connect() is refused); everything else found at
// the path is left alone and refused. The exit hook removes the file at normal process exit
// while it is armed, and only if it is still the file that was bound (same device and inode).
// Thread: the exit hook's state is one per process; arm and disarm it from one thread at a time.
#ifndef PLATFORM_MDF_SOCKETFILE_H
#define PLATFORM_MDF_SOCKETFILE_H

#include <sys/types.h>
#include <sys/un.h>

#include <string>

#include "dbgLog.h"

namespace mdf {
namespace detail {

// Fills address_r for `path`. False when the path is empty, holds a NUL or does not fit.
bool makeSocketAddress(const std::string& path, sockaddr_un& address_r);

// True when nothing is at `path` any more: there was nothing, or a stale socket of ours that
// has been removed. False (logged) otherwise.
bool clearSocketPath(const std::string& path, const cmn::DbgModuleDescriptor* log_p);

// True when `path` (not followed) is the file with this device and inode.
bool isSameFile(const std::string& path, dev_t device, ino_t inode);

// Removes `path` at normal process exit if it is still that file. The hook is registered with
// atexit() on the first call; a failure to register is logged.
void armExitUnlink(const std::string& path, dev_t device, ino_t inode,
                   const cmn::DbgModuleDescriptor* log_p);
// The file is no longer to be removed at exit.
void disarmExitUnlink();

}  // namespace detail
}  // namespace mdf

#endif  // PLATFORM_MDF_SOCKETFILE_H
