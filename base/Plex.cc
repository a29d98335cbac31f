#include "base/Plex.h"

#include <cstdio>
#include <new>

#include "base/Check.h"
#include "base/Memory.h"

CPlex* CPlex::Create(CPlex*& pHead, size_t nMax, size_t cbElement) {
    DV_CHECK(nMax > 0 && cbElement > 0);
    if (cbElement != 0 && nMax > (SIZE_MAX - sizeof(CPlex)) / cbElement) {
        return nullptr;
    }
    void* pBlock = base::Allocate(sizeof(CPlex) + nMax * cbElement);
    if (pBlock == nullptr) {
        return nullptr;
    }
    CPlex* p = new (pBlock) CPlex{pHead};
    pHead = p;
    return p;
}

void CPlex::FreeDataChain() {
    CPlex* p = this;
    while (p != nullptr) {
        CPlex* pNext = p->pNext;
        base::Free(p);
        p = pNext;
    }
}

namespace {

constexpr uint32_t kHashTableSize = 17;
constexpr int kBlockSize = 10;
// Nodes a walk may visit before each further one is reported as a sign of
// badly spread keys.
constexpr int kReasonableChain = 30;

void WarnUnreasonableHashKey() {
    std::fputs("warning: unreasonable hash key!\r\n", stdout);
}

}  // namespace

CPtrToStrMap::CPtrToStrMap()
    : m_pHashTable(nullptr),
      m_nHashTableSize(kHashTableSize),
      m_nCount(0),
      m_pFreeList(nullptr),
      m_pBlocks(nullptr),
      m_nBlockSize(kBlockSize) {}

CPtrToStrMap::~CPtrToStrMap() {
    Clear();
}

uint32_t CPtrToStrMap::BucketOf(const void* key) const {
    // Keys are object addresses: the low four bits carry little. Wider
    // pointers are reduced to their low 32 bits first.
    uint32_t nHash = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key)) >> 4;
    return nHash % m_nHashTableSize;
}

CPtrToStrMap::CAssoc* CPtrToStrMap::Find(const void* key, uint32_t nBucket) const {
    if (m_pHashTable == nullptr) {
        return nullptr;
    }
    int nVisited = 0;
    for (CAssoc* p = m_pHashTable[nBucket]; p != nullptr; p = p->pNext) {
        if (++nVisited > kReasonableChain) {
            WarnUnreasonableHashKey();
        }
        if (p->key == key) {
            return p;
        }
    }
    return nullptr;
}

bool CPtrToStrMap::Lookup(const void* key, CRefString** ppValue) const {
    CAssoc* p = Find(key, BucketOf(key));
    if (p == nullptr) {
        return false;
    }
    if (ppValue != nullptr) {
        *ppValue = &p->value;
    }
    return true;
}

CRefString* CPtrToStrMap::ValueAt(const void* key) {
    uint32_t nBucket = BucketOf(key);
    if (CAssoc* p = Find(key, nBucket)) {
        return &p->value;
    }
    if (m_pHashTable == nullptr) {
        void* pTable = base::Allocate(sizeof(CAssoc*) * m_nHashTableSize);
        if (pTable == nullptr) {
            return nullptr;
        }
        m_pHashTable = static_cast<CAssoc**>(pTable);
        for (uint32_t i = 0; i < m_nHashTableSize; ++i) {
            m_pHashTable[i] = nullptr;
        }
    }
    if (m_pFreeList == nullptr) {
        CPlex* pBlock = CPlex::Create(m_pBlocks, m_nBlockSize, sizeof(CAssoc));
        if (pBlock == nullptr) {
            if (m_nCount == 0) {
                Clear();  // drop the table made above: the map stays as it was
            }
            return nullptr;
        }
        // Pushed from the last to the first, so that nodes are handed out
        // in ascending address order.
        CAssoc* pNodes = static_cast<CAssoc*>(pBlock->Data());
        for (int i = m_nBlockSize - 1; i >= 0; --i) {
            pNodes[i].pNext = m_pFreeList;
            m_pFreeList = &pNodes[i];
        }
    }
    CAssoc* p = m_pFreeList;
    m_pFreeList = p->pNext;
    ++m_nCount;
    new (&p->value) CRefString();
    p->key = key;
    p->nBucket = nBucket;
    p->pNext = m_pHashTable[nBucket];
    m_pHashTable[nBucket] = p;
    return &p->value;
}

bool CPtrToStrMap::Erase(const void* key) {
    if (m_pHashTable == nullptr) {
        return false;
    }
    // No warning here: this walk follows one that has already warned.
    CAssoc** ppPrev = &m_pHashTable[BucketOf(key)];
    for (CAssoc* p = *ppPrev; p != nullptr; ppPrev = &p->pNext, p = p->pNext) {
        if (p->key == key) {
            *ppPrev = p->pNext;
            p->value.~CRefString();
            p->pNext = m_pFreeList;
            m_pFreeList = p;
            if (--m_nCount == 0) {
                Clear();
            }
            return true;
        }
    }
    return false;
}

void CPtrToStrMap::Clear() {
    if (m_pHashTable != nullptr) {
        for (uint32_t i = 0; i < m_nHashTableSize; ++i) {
            for (CAssoc* p = m_pHashTable[i]; p != nullptr; p = p->pNext) {
                p->value.~CRefString();
            }
        }
        base::Free(m_pHashTable);
    }
    m_pHashTable = nullptr;
    m_nCount = 0;
    m_pFreeList = nullptr;
    if (m_pBlocks != nullptr) {
        m_pBlocks->FreeDataChain();
        m_pBlocks = nullptr;
    }
}

int CPtrToStrMap::GetBlockCount() const {
    int n = 0;
    for (const CPlex* p = m_pBlocks; p != nullptr; p = p->pNext) {
        ++n;
    }
    return n;
}
