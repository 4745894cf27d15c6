#include "comms/async_channel.h"

#include <windows.h>

// The router is set once the channel's tables exist and cleared when they go; it is read by
// the reply builders on the communications thread and written on the service thread.
namespace {
SgRouterFn volatile gRouter = nullptr;
}  // namespace

SgRouterFn SgGetRouter() { return gRouter; }
void SgSetRouter(SgRouterFn router) { gRouter = router; }
void SgClearRouter() { gRouter = nullptr; }
