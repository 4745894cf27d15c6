// The driver's synchronous port: connected once at start-up, announced with one
// SyncRequestMsg, kept open until shutdown. Its state gates the asynchronous channel.
#pragma once

bool SgConnectSyncPort();
void SgCloseSyncPort();
bool SgSyncPortConnected();
