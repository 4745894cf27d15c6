// The asynchronous driver channel: the driver's asynchronous port, registration as
// component 30, the communications thread that receives, routes and drains, and the
// pending-request table that matches replies.
#pragma once

#include <cstdint>

#include "comms/messages.h"

typedef void (*SgReplyCallback)(uint32_t status, const char* replyText, void* context);
typedef uint32_t (*SgRouterFn)(SgMessage* message);

bool SgInitAsyncComms();
bool SgStartCommsThread();
void SgStopCommsThread();
void SgShutdownAsyncComms();
// Waits for the communications thread's OS thread to end (nothing when there is none).
void SgWaitCommsThreadEnd();
bool SgCommsThreadExists();
// True once the driver's port broke under the running channel (the driver unloaded, or its port
// closed): the communications thread has then stopped itself, and the channel stays deaf until
// its owner waits for the thread's end and shuts the channel down, which clears this.
bool SgAsyncChannelLost();
// `watcher` is woken (SgWakeThread) when the port breaks, so that its owner takes the channel
// down and connects again; it must outlive every communications thread. Null: nobody is woken.
void SgWatchAsyncChannelLoss(struct SgThread* watcher);
// The communications thread's object, or null; a handler that blocks on it waits on its wake
// event too, which SgStopCommsThread signals, and ends when its run flag is clear.
struct SgThread* SgGetCommsThread();
// The one place where the channel calls FilterSendMessage; returns the CommStatus.
uint32_t SgSendMessage(SgMessage* message);
// The router; owns the message when it returns 0.
uint32_t SgRouteMessage(SgMessage* message);
// Set once the channel's tables exist; the reply builders refuse to build replies without it.
SgRouterFn SgGetRouter();
void SgSetRouter(SgRouterFn router);
void SgClearRouter();
// Places a request in the start-message queue: the communications thread sends it on its
// next pass and keeps it pending until its final reply. The message must be an outgoing
// CommandMsg request; its request ID is assigned here. False on allocation failure.
bool SgQueueStartMessage(SgMessage* message, SgReplyCallback callback, void* context, uint32_t* requestId);
