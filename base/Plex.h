// CPlex: blocks of fixed-size elements, chained and freed all together.
// CPtrToStrMap: a hash map from pointer keys to CRefString values whose nodes
// come from CPlex blocks; CLockedPtrToStrMap: the same map as its own lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/Locker.h"
#include "base/RefString.h"

struct CPlex {
    CPlex* pNext;  // the next block in the chain

    // Room for the elements follows the link word.
    void* Data() { return this + 1; }

    // Allocates a block for nMax elements of cbElement bytes and links it at
    // the head of the chain. Null, with the chain unchanged, when the block
    // cannot be allocated.
    static CPlex* Create(CPlex*& pHead, size_t nMax, size_t cbElement);
    // Frees this block and every block after it.
    void FreeDataChain();
};

class CPtrToStrMap {
public:
    CPtrToStrMap();
    ~CPtrToStrMap();
    CPtrToStrMap(const CPtrToStrMap&) = delete;
    CPtrToStrMap& operator=(const CPtrToStrMap&) = delete;

    // Whether the key is present; its value through ppValue when found.
    // Prints a warning line for every node past the 30th that it visits.
    bool Lookup(const void* key, CRefString** ppValue = nullptr) const;
    // The key's value, inserted empty when the key is absent. Null, with the
    // map unchanged, when the storage for a new entry cannot be allocated.
    CRefString* ValueAt(const void* key);
    // Whether a node was removed. When the map empties, all storage is freed.
    bool Erase(const void* key);
    // Removes everything and frees the table and every block.
    void Clear();

    int GetCount() const { return m_nCount; }
    // For tests: whether the bucket table exists, and how many node blocks
    // the map holds.
    bool HasTable() const { return m_pHashTable != nullptr; }
    int GetBlockCount() const;

private:
    struct CAssoc {
        CAssoc* pNext;     // in its bucket's chain, or in the free list
        uint32_t nBucket;  // hash reduced by the bucket count
        const void* key;
        CRefString value;  // constructed only while the node is in use
    };

    uint32_t BucketOf(const void* key) const;
    CAssoc* Find(const void* key, uint32_t nBucket) const;

    CAssoc** m_pHashTable;
    uint32_t m_nHashTableSize;
    int m_nCount;
    CAssoc* m_pFreeList;
    CPlex* m_pBlocks;
    int m_nBlockSize;
};

class CLockedPtrToStrMap : public CLocker, public CPtrToStrMap {
public:
    explicit CLockedPtrToStrMap(const char* pszName) : CLocker(pszName) {}
};
