// SPDX-License-Identifier: MIT
#include "request_queue.h"

#include <algorithm>
#include <new>

bool RequestQueue::push(const Request& request)
{
    const uid_t uid = request.sender.uid;
    const auto own = queues_.find(uid);
    const size_t queued = own == queues_.end() ? 0 : own->second.size();
    if (queued >= kPerUser) return false;
    if (count_ >= kInAll) {
        auto longest = std::max_element(queues_.begin(), queues_.end(), [](const auto& a, const auto& b) {
            return a.second.size() < b.second.size();
        });
        if (longest->second.size() <= queued + 1) return false;
        longest->second.pop_back();  // never emptied: it is longer than one
        --count_;
    }
    // Without memory the queues stay as they were (but for the room made) and the
    // bad_alloc goes to the caller: a user is in turns_ exactly while it has requests queued.
    std::deque<Request>& queue = queues_[uid];
    try {
        queue.push_back(request);
        if (queued == 0) {
            turns_.insert(turns_.begin() + static_cast<std::ptrdiff_t>(newcomers_), uid);
            ++newcomers_;
        }
    } catch (const std::bad_alloc&) {
        if (queued == 0) queues_.erase(uid);  // the queue made for it
        throw;
    }
    ++count_;
    return true;
}

bool RequestQueue::next(Request& request)
{
    if (turns_.empty()) return false;
    const uid_t uid = turns_.front();
    turns_.pop_front();
    if (newcomers_ > 0) --newcomers_;
    const auto queue = queues_.find(uid);
    request = queue->second.front();
    queue->second.pop_front();
    --count_;
    if (queue->second.empty())
        queues_.erase(queue);
    else
        turns_.push_back(uid);
    return true;
}
