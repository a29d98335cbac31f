// CRefString: a narrow string whose characters live in a reference-counted
// heap block shared by copies and copied on write.
//
// The object is one pointer to the first character of its block. The block
// starts with a header (refs, length, capacity), followed by the characters
// and a NUL. One static block with refs kEmptyRefs stands for every empty
// string that owns nothing: it is never counted, freed or written.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct CRefStringData {
    std::atomic<int32_t> nRefs;  // strings sharing the block; negative: not shareable
    int32_t nLength;             // characters, excluding the NUL
    int32_t nCapacity;           // characters the block can hold, excluding the NUL

    char* Chars() { return reinterpret_cast<char*>(this + 1); }
};

class CRefString {
public:
    // refs of the shared empty block.
    static constexpr int32_t kEmptyRefs = -10001;

    CRefString();
    // Shares the source's block, or copies its text when the block may not
    // be shared (a failed copy leaves this string empty).
    CRefString(const CRefString& src);
    ~CRefString();
    CRefString& operator=(const CRefString&) = delete;

    // Replaces the text with nLength characters from pch. False when a new
    // block was needed and could not be allocated: the string is then empty.
    bool Assign(const char* pch, size_t nLength);
    // The same for a NUL-terminated text; null counts as empty.
    bool Assign(const char* psz);

    const char* GetString() const { return m_pchData; }
    int GetLength() const { return GetData()->nLength; }
    // Byte-wise equality with a NUL-terminated text (null: never equal).
    bool Equals(const char* psz) const;

    // For tests: the block's header fields.
    int32_t GetRefs() const { return GetData()->nRefs.load(std::memory_order_relaxed); }
    int GetCapacity() const { return GetData()->nCapacity; }
    bool IsSharedEmpty() const;

private:
    CRefStringData* GetData() const {
        return reinterpret_cast<CRefStringData*>(m_pchData - sizeof(CRefStringData));
    }
    // Gives up the block (freeing it with its last reference) and points at
    // the shared empty block.
    void Release();

    char* m_pchData;
};
