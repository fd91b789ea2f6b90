#pragma once
// Owners for libnats objects: each released by its own destroy function.

#include <nats/nats.h>

#include <memory>

namespace arbelon::nats {

template <typename T, void (*Destroy)(T *)> struct Deleter {
    void operator()(T *p) const
    {
        if (p)
            Destroy(p);
    }
};

using Options = std::unique_ptr<natsOptions, Deleter<natsOptions, natsOptions_Destroy>>;
using Connection = std::unique_ptr<natsConnection, Deleter<natsConnection, natsConnection_Destroy>>;
using Subscription = std::unique_ptr<natsSubscription, Deleter<natsSubscription, natsSubscription_Destroy>>;
using JetStream = std::unique_ptr<jsCtx, Deleter<jsCtx, jsCtx_Destroy>>;
using KeyValue = std::unique_ptr<kvStore, Deleter<kvStore, kvStore_Destroy>>;
using KeyValueEntry = std::unique_ptr<kvEntry, Deleter<kvEntry, kvEntry_Destroy>>;
using Message = std::unique_ptr<natsMsg, Deleter<natsMsg, natsMsg_Destroy>>;
using StreamInfo = std::unique_ptr<jsStreamInfo, Deleter<jsStreamInfo, jsStreamInfo_Destroy>>;

} // namespace arbelon::nats
