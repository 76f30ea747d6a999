#pragma once
// Process-wide map from a 32-bit id to an object pointer, so that code holding
// only an id (a transfer callback's context) can find the object again. Ids
// start at 1, wrap after 0xFFFFFFFF and never take the value 0. Every operation
// takes the repository's lock (recursive, so a lookup may run inside a locked
// section of the same thread). The repository never owns the objects.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "base/mcExc.h"

template <class T>
class mcObjectRepository {
public:
    static constexpr int kCheckIdLine = 146;
    static constexpr const char* kInvalidId = "Invalid id";

    // strTypeName names T in the failure texts, e.g. "class mcHttpTransaction".
    // dwFirstId: the first id handed out (1 unless a test wants the wrap-around).
    explicit mcObjectRepository(std::string strTypeName, std::uint32_t dwFirstId = 1)
        : m_strCheckIdFunction("mcObjectRepository<" + strTypeName + ">::CheckId"),
          m_dwNextId(dwFirstId) {}
    mcObjectRepository(const mcObjectRepository&) = delete;
    mcObjectRepository& operator=(const mcObjectRepository&) = delete;

    // Stores pObject under the next id and returns it. Cannot fail.
    std::uint32_t Register(T* pObject) {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        std::uint32_t dwId = m_dwNextId;
        // Skip ids that are still in use after a wrap-around.
        while (dwId == 0 || m_map.count(dwId) != 0) ++dwId;
        m_dwNextId = dwId + 1;
        m_map[dwId] = pObject;
        return dwId;
    }

    // Throws mcExc "Invalid id" for id 0; an unknown id is ignored.
    void Unregister(std::uint32_t dwId) {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        CheckId(dwId);
        m_map.erase(dwId);
    }

    // The object registered under dwId, or nullptr. Throws for id 0.
    T* Lookup(std::uint32_t dwId) const {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        CheckId(dwId);
        auto it = m_map.find(dwId);
        return it == m_map.end() ? nullptr : it->second;
    }

    void CheckId(std::uint32_t dwId) const {
        if (dwId == 0) {
            KTHROW_AT(mcExc, m_strCheckIdFunction.c_str(), kCheckIdLine, kInvalidId);
        }
    }

    std::size_t Count() const {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        return m_map.size();
    }

    // Runs fn with the lock held: the objects found inside stay registered
    // until fn returns.
    template <class Fn>
    auto Locked(Fn&& fn) const {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        return fn();
    }

private:
    std::string m_strCheckIdFunction;
    mutable std::recursive_mutex m_mutex;
    std::map<std::uint32_t, T*> m_map;
    std::uint32_t m_dwNextId;
};
