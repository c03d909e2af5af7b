#include "usb/open_index_list.h"

#include <algorithm>
#include <new>

namespace trelvo::usb {

namespace {
// In the library's own storage: never destroyed, and nothing of it stays on
// the heap after an unload.
alignas(OpenIndexList) unsigned char g_listStorage[sizeof(OpenIndexList)];
}  // namespace

OpenIndexList& OpenIndexList::instance() {
    static OpenIndexList& list = *new (g_listStorage) OpenIndexList;
    return list;
}

bool OpenIndexList::claim(int16_t index) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto at = std::lower_bound(indices_.begin(), indices_.end(), index);
    if (at != indices_.end() && *at == index) return false;
    indices_.insert(at, index);
    return true;
}

void OpenIndexList::release(int16_t index) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto at = std::lower_bound(indices_.begin(), indices_.end(), index);
    if (at != indices_.end() && *at == index) indices_.erase(at);
    if (indices_.empty()) std::vector<int16_t>().swap(indices_);  // nothing left on the heap
}

bool OpenIndexList::contains(int16_t index) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::binary_search(indices_.begin(), indices_.end(), index);
}

std::vector<int16_t> OpenIndexList::entries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return indices_;
}

}  // namespace trelvo::usb
