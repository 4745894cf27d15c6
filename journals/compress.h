// Compression of a complete journal into an xz file (LZMA2, CRC64) through a temporary
// file, a rename and the deletion of the journal.
#pragma once

#include <cstdint>

#include <lzma.h>

#include "journals/journal_file.h"

// 0 on success; otherwise an NT status, 0xFFFFFFF5 from the file layer, or 0xFFFFFFFF for a
// failure of the compression itself. Stops after the current chunk when the journal
// thread is asked to stop.
uint32_t CompressJournal(const JournalFile* journal);
bool InitJournalEncoder(lzma_stream* stream);
