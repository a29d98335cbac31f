#include "base/RefString.h"

#include <cstring>
#include <new>

#include "base/Memory.h"

namespace {

struct CEmptyBlock {
    CRefStringData header;
    char szEmpty[1];
};
static_assert(sizeof(CRefStringData) == 12, "header: three 32-bit fields");
static_assert(offsetof(CEmptyBlock, szEmpty) == sizeof(CRefStringData),
              "characters follow the header");

// Constant-initialised, so strings made by other modules' static
// initialisers already find it.
CEmptyBlock g_emptyBlock = {{{CRefString::kEmptyRefs}, 0, 0}, {'\0'}};

char* EmptyChars() {
    return g_emptyBlock.szEmpty;
}

// The longest text a block can describe in its 32-bit fields.
constexpr size_t kMaxLength = 0x7ffffff0u - sizeof(CRefStringData);

}  // namespace

CRefString::CRefString() : m_pchData(EmptyChars()) {}

CRefString::CRefString(const CRefString& src) : m_pchData(EmptyChars()) {
    CRefStringData* pSrc = src.GetData();
    if (pSrc->nRefs.load(std::memory_order_relaxed) < 0) {
        Assign(src.m_pchData);
    } else {
        pSrc->nRefs.fetch_add(1, std::memory_order_relaxed);
        m_pchData = src.m_pchData;
    }
}

CRefString::~CRefString() {
    Release();
}

bool CRefString::IsSharedEmpty() const {
    return m_pchData == EmptyChars();
}

void CRefString::Release() {
    CRefStringData* pData = GetData();
    if (pData->nRefs.load(std::memory_order_relaxed) != kEmptyRefs) {
        // acq_rel: the freeing thread must see every other owner's last use.
        if (pData->nRefs.fetch_sub(1, std::memory_order_acq_rel) - 1 <= 0) {
            pData->~CRefStringData();
            base::Free(pData);
        }
    }
    m_pchData = EmptyChars();
}

bool CRefString::Assign(const char* psz) {
    return Assign(psz, psz != nullptr ? std::strlen(psz) : 0);
}

bool CRefString::Assign(const char* pch, size_t nLength) {
    if (nLength == 0 && IsSharedEmpty()) {
        return true;
    }
    CRefStringData* pData = GetData();
    if (pData->nRefs.load(std::memory_order_relaxed) > 1 ||
        static_cast<size_t>(pData->nCapacity) < nLength) {
        // A text taken from the current block survives this release: the
        // block is only dropped here while other strings still share it.
        Release();
        if (nLength == 0) {
            return true;
        }
        if (nLength > kMaxLength) {
            return false;
        }
        void* pBlock = base::Allocate(sizeof(CRefStringData) + nLength + 1);
        if (pBlock == nullptr) {
            return false;
        }
        CRefStringData* pNew = new (pBlock)
            CRefStringData{{1}, static_cast<int32_t>(nLength), static_cast<int32_t>(nLength)};
        std::memcpy(pNew->Chars(), pch, nLength);
        pNew->Chars()[nLength] = '\0';
        m_pchData = pNew->Chars();
        return true;
    }
    std::memmove(m_pchData, pch, nLength);
    m_pchData[nLength] = '\0';
    pData->nLength = static_cast<int32_t>(nLength);
    return true;
}

bool CRefString::Equals(const char* psz) const {
    return psz != nullptr && std::strcmp(m_pchData, psz) == 0;
}
