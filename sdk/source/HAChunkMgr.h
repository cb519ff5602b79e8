// The chunk manager: finds, places, frees and merges chunks in the hidden
// area's chunk stream (HAPageMgr.h, HAChunk.h), and takes whole pages out of
// the stream for keyed objects (dedicated pages).
//
// It keeps a free list: copies (place and size) of the free chunks its scans
// passed during the current operation, each listed once, in the order first
// seen. Allocation takes the first entry that fits and removes it; the rest
// left by a split and a chunk freed by a move are listed only when a later
// scan passes them. clear() empties it at the end of every operation.
//
// Every change goes to the page images; the caller flushes (commit()). Not
// thread-safe; the caller holds the hidden-area lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "HAChunk.h"
#include "HAPageMgr.h"
#include "Status.h"

namespace nork {

struct CHAFreeEntry {
    CHALocation location;
    std::uint32_t size = 0;
};

class CHAChunkMgr {
  public:
    explicit CHAChunkMgr(CHAPageMgr& pages) : m_pages(pages) {}

    // Scans the stream from its start for a chunk of the searched object's
    // type that matches it (read as a copy of the searched object), listing
    // every other free chunk it passes. Null when the scan reaches the end
    // of the stream, or a place that holds no chunk, without a match.
    std::unique_ptr<CHAChunk> find(const CHAChunk& searched);

    // Gives the object a place and the size of the free chunk there: the
    // first listed free chunk whose size is the object's needed size n or
    // at least n + 4, else the first such chunk a scan finds.
    // STATUS_HIDDEN_AREA_FULL when there is none, STATUS_COMMUNICATION_FAILURE
    // when the drive does not answer the probe.
    STATUS allocate(CHAChunk& object);

    // Writes the object: over `existing` (the stored chunk it replaces, or
    // null) when that has exactly the needed size; splitting `existing` when
    // it is at least 4 bytes larger; else at a newly allocated place, which
    // is flushed, then freeing `existing` (so a power cut never leaves the
    // record nowhere). A newly allocated place larger than needed is split.
    // A split whose free rest starts on the page of the object's header
    // writes the rest's header to the drive first, so no page write changes
    // both headers. The object ends with its place and size set.
    STATUS writeObject(CHAChunk& object, const CHAChunk* existing);

    // Makes the chunk a free chunk of the same size (header only).
    STATUS free(const CHAChunk& chunk);

    // Merges listed free chunks that follow each other in the stream into
    // the first of them (headers of the absorbed ones stay as body bytes).
    STATUS defragment();
    // Defragments, then flushes the pages; the flush's status.
    STATUS commit();

    // Keyed objects that fill a whole page. write: into the key's page, or a
    // page freed earlier, or one carved out of a free chunk (the page leaves
    // the stream); STATUS_HIDDEN_AREA_FULL when more than 15 pages are out
    // already or no free chunk can give a page. Flushes. read:
    // STATUS_DATA_NOT_FOUND without a page for the key. release: the key's
    // page becomes free for another key (it stays out of the stream).
    STATUS writeDedicated(CHAActiveChunk& object);
    STATUS readDedicated(CHAActiveChunk& object);
    STATUS releaseDedicated(std::uint32_t key);

    // Visits every chunk from the start of the stream (place and header)
    // while the visitor answers true. True when the walk ended exactly at
    // the end of the stream; false when it stopped at a place that holds no
    // chunk (or a page that could not be read) or the visitor stopped it.
    bool walk(const std::function<bool(const CHALocation&, std::uint32_t header)>& visit);

    const std::vector<CHAFreeEntry>& freeList() const { return m_free; }
    void clear() { m_free.clear(); }

  private:
    void list(const CHALocation& at, std::uint32_t size);
    void unlist(const CHALocation& at);
    // Writes the object at its place (size s): exact, or split when s >= n + 4.
    STATUS place(CHAChunk& object);
    // Whether a listed entry still is a free chunk of its listed size.
    bool stillFree(const CHAFreeEntry& entry);

    CHAPageMgr& m_pages;
    std::vector<CHAFreeEntry> m_free;
};

}  // namespace nork
