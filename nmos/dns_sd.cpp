#include "dns_sd.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <random>
#include <string_view>

#include "words.h"

namespace nexo::nmos {

namespace {

// The value of `key` among "key=value" strings; nothing when absent.
std::optional<std::string_view> txt_value(const std::vector<std::string>& txt,
                                          std::string_view key) {
    for (const std::string& s : txt) {
        std::string_view v(s);
        if (v.size() > key.size() && v.substr(0, key.size()) == key && v[key.size()] == '=') {
            return v.substr(key.size() + 1);
        }
    }
    return std::nullopt;
}

bool lists_version(std::string_view versions, std::string_view want) {
    for (std::size_t from = 0; from <= versions.size();) {
        std::size_t comma = std::min(versions.find(',', from), versions.size());
        if (client::trim(versions.substr(from, comma - from)) == want) {
            return true;
        }
        from = comma + 1;
    }
    return false;
}

constexpr unsigned kRetryMs = 2000;

// Index of each resource type's ver_ counter.
constexpr const char* kVerKeys[6] = {"ver_slf", "ver_src", "ver_flw",
                                     "ver_dvc", "ver_snd", "ver_rcv"};

std::size_t ver_index(resource_type t) {
    switch (t) {
        case resource_type::node:
            return 0;
        case resource_type::device:
            return 3;
        case resource_type::receiver:
            return 5;
    }
    return 0;
}

}  // namespace

std::optional<registry_ad> registry_from_txt(const std::vector<std::string>& txt,
                                             const std::string& address, std::uint16_t port,
                                             api_security sec) {
    auto proto = txt_value(txt, "api_proto");
    auto ver = txt_value(txt, "api_ver");
    auto auth = txt_value(txt, "api_auth");
    auto pri = txt_value(txt, "pri");
    const bool auth_ok = !auth || *auth == "false" || (sec.auth && *auth == "true");
    if (!proto || *proto != (sec.tls ? "https" : "http") || !ver || !lists_version(*ver, "v1.3") ||
        !auth_ok || !pri || address.empty() || port == 0) {
        return std::nullopt;
    }
    registry_ad ad;
    auto [end, ec] = std::from_chars(pri->data(), pri->data() + pri->size(), ad.priority);
    if (ec != std::errc() || end != pri->data() + pri->size() || ad.priority < 0) {
        return std::nullopt;
    }
    ad.url = sec.tls ? "https://" : "http://";
    ad.url += address;
    ad.url += ':';
    ad.url += std::to_string(port);
    return ad;
}

std::optional<registry_ad> auth_server_from_txt(const std::vector<std::string>& txt,
                                                const std::string& host, const std::string& address,
                                                std::uint16_t port, api_security sec) {
    auto proto = txt_value(txt, "api_proto");
    auto ver = txt_value(txt, "api_ver");
    auto pri = txt_value(txt, "pri");
    const bool https = proto && *proto == "https";
    if (!proto || !(https || (*proto == "http" && !sec.tls)) || !ver ||
        !lists_version(*ver, "v1.0") || !pri || port == 0 || (https ? host : address).empty()) {
        return std::nullopt;
    }
    registry_ad ad;
    auto [end, ec] = std::from_chars(pri->data(), pri->data() + pri->size(), ad.priority);
    if (ec != std::errc() || end != pri->data() + pri->size() || ad.priority < 0) {
        return std::nullopt;
    }
    ad.url = https ? "https://" + host : "http://" + address;
    ad.url += ':';
    ad.url += std::to_string(port);
    return ad;
}

std::vector<std::string> by_priority(std::vector<registry_ad> ads) {
    std::sort(ads.begin(), ads.end(), [](const registry_ad& a, const registry_ad& b) {
        return a.priority != b.priority ? a.priority < b.priority : a.tiebreak < b.tiebreak;
    });
    std::vector<std::string> urls;
    for (registry_ad& a : ads) {
        if (std::find(urls.begin(), urls.end(), a.url) == urls.end()) {
            urls.push_back(std::move(a.url));
        }
    }
    return urls;
}

std::vector<std::string> node_txt(const std::uint8_t (&versions)[6], api_security sec) {
    std::vector<std::string> txt = {sec.tls ? "api_proto=https" : "api_proto=http", "api_ver=v1.3",
                                    sec.auth ? "api_auth=true" : "api_auth=false"};
    for (std::size_t i = 0; i < 6; ++i) {
        std::string s = kVerKeys[i];
        s += '=';
        s += std::to_string(versions[i]);
        txt.push_back(std::move(s));
    }
    return txt;
}

namespace {

std::vector<std::string> txt_strings(AvahiStringList* list) {
    std::vector<std::string> txt;
    for (AvahiStringList* l = list; l != nullptr; l = avahi_string_list_get_next(l)) {
        txt.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(l)),
                         avahi_string_list_get_size(l));
    }
    return txt;
}

}  // namespace

// Everything below runs on Avahi's own thread, or under its lock.
struct dns_sd::impl {
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiServiceBrowser* browser = nullptr;
    AvahiServiceBrowser* auth_browser = nullptr;
    AvahiEntryGroup* group = nullptr;
    std::string name;
    std::uint16_t port = 0;
    api_security sec;
    std::function<void()> on_registries;
    std::function<void(const std::vector<std::string>&)> on_auth;
    std::map<std::string, registry_ad> found;  // by interface, name and domain
    std::map<std::string, registry_ad> auth_found;
    bool peer_to_peer = true;
    std::uint8_t versions[6] = {};
    std::mt19937 rng{std::random_device{}()};
    bool said_waiting = false;

    static void client_cb(AvahiClient* c, AvahiClientState state, void* self) {
        static_cast<impl*>(self)->on_client(c, state);
    }
    static void browse_cb(AvahiServiceBrowser*, AvahiIfIndex iface, AvahiProtocol proto,
                          AvahiBrowserEvent event, const char* name, const char* type,
                          const char* domain, AvahiLookupResultFlags, void* self) {
        static_cast<impl*>(self)->on_browse(iface, proto, event, name, type, domain);
    }
    static void resolve_cb(AvahiServiceResolver* r, AvahiIfIndex iface, AvahiProtocol,
                           AvahiResolverEvent event, const char* name, const char* type,
                           const char* domain, const char* host, const AvahiAddress* address,
                           uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags,
                           void* self) {
        if (event == AVAHI_RESOLVER_FOUND && address != nullptr) {
            auto* p = static_cast<impl*>(self);
            if (type != nullptr && std::string_view(type) == kAuthService) {
                p->on_auth_resolved(iface, name, domain, host, *address, port, txt);
            } else {
                p->on_resolved(iface, name, domain, host, *address, port, txt);
            }
        }
        avahi_service_resolver_free(r);
    }
    static void group_cb(AvahiEntryGroup* g, AvahiEntryGroupState state, void* self) {
        static_cast<impl*>(self)->on_group(g, state);
    }

    static std::string key(AvahiIfIndex iface, const char* name, const char* domain) {
        std::string k = std::to_string(iface);
        k += '/';
        k += name != nullptr ? name : "";
        k += '/';
        k += domain != nullptr ? domain : "";
        return k;
    }

    static void retry_cb(AvahiTimeout* t, void* self) {
        auto* p = static_cast<impl*>(self);
        avahi_threaded_poll_get(p->poll)->timeout_free(t);
        p->connect();
    }

    // NO_FAIL: without an Avahi daemon the client waits for one to appear. Without a message
    // bus there is no client at all: another try a little later.
    void connect() {
        int error = 0;
        const AvahiPoll* api = avahi_threaded_poll_get(poll);
        client = avahi_client_new(api, AVAHI_CLIENT_NO_FAIL, client_cb, this, &error);
        if (client == nullptr) {
            if (!said_waiting) {
                std::fprintf(stderr, "nexo-nmos: DNS-SD: waiting for the message bus (%s)\n",
                             avahi_strerror(error));
                said_waiting = true;
            }
            timeval when{};
            avahi_elapse_time(&when, kRetryMs, 0);
            api->timeout_new(api, &when, retry_cb, this);
        }
    }

    // The daemon went away: what it held is gone with it.
    void notify() {
        if (on_registries) {
            on_registries();
        }
    }

    std::vector<std::string> auth_list() const {
        std::vector<registry_ad> ads;
        for (const auto& [k, ad] : auth_found) {
            ads.push_back(ad);
        }
        return by_priority(std::move(ads));
    }

    void notify_auth() {
        if (on_auth) {
            on_auth(auth_list());
        }
    }

    void forget_daemon() {
        for (AvahiServiceBrowser** b : {&browser, &auth_browser}) {
            if (*b != nullptr) {
                avahi_service_browser_free(*b);
                *b = nullptr;
            }
        }
        if (!auth_found.empty()) {
            auth_found.clear();
            notify_auth();
        }
        if (group != nullptr) {
            avahi_entry_group_free(group);
            group = nullptr;
        }
        if (!found.empty()) {
            found.clear();
            notify();
        }
    }

    void on_client(AvahiClient* c, AvahiClientState state) {
        client = c;  // also during avahi_client_new, before it returns
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                said_waiting = false;
                if (browser == nullptr) {
                    browser = avahi_service_browser_new(
                        c, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, kRegistryService, nullptr,
                        static_cast<AvahiLookupFlags>(0), browse_cb, this);
                    if (browser == nullptr) {
                        std::fprintf(stderr, "nexo-nmos: DNS-SD: cannot browse: %s\n",
                                     avahi_strerror(avahi_client_errno(c)));
                    }
                }
                if (auth_browser == nullptr && sec.auth) {
                    auth_browser = avahi_service_browser_new(
                        c, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, kAuthService, nullptr,
                        static_cast<AvahiLookupFlags>(0), browse_cb, this);
                }
                publish();
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                // The host name changes: announce again once the daemon runs.
                if (group != nullptr) {
                    avahi_entry_group_reset(group);
                }
                break;
            case AVAHI_CLIENT_CONNECTING:
                if (!said_waiting) {
                    std::fprintf(stderr, "nexo-nmos: DNS-SD: waiting for the Avahi daemon\n");
                    said_waiting = true;
                }
                forget_daemon();
                break;
            case AVAHI_CLIENT_FAILURE:
                forget_daemon();
                if (avahi_client_errno(c) == AVAHI_ERR_DISCONNECTED) {
                    // The message bus itself went away: a new client waits for it.
                    avahi_client_free(c);
                    client = nullptr;
                    connect();
                } else {
                    std::fprintf(stderr, "nexo-nmos: DNS-SD: %s\n",
                                 avahi_strerror(avahi_client_errno(c)));
                }
                break;
        }
    }

    void on_browse(AvahiIfIndex iface, AvahiProtocol proto, AvahiBrowserEvent event,
                   const char* name, const char* type, const char* domain) {
        switch (event) {
            case AVAHI_BROWSER_NEW:
                // Freed in its callback; the client frees it when it goes first.
                if (avahi_service_resolver_new(client, iface, proto, name, type, domain,
                                               AVAHI_PROTO_INET, static_cast<AvahiLookupFlags>(0),
                                               resolve_cb, this) == nullptr) {
                    std::fprintf(stderr, "nexo-nmos: DNS-SD: cannot resolve %s: %s\n", name,
                                 avahi_strerror(avahi_client_errno(client)));
                }
                break;
            case AVAHI_BROWSER_REMOVE:
                if (type != nullptr && std::string_view(type) == kAuthService) {
                    if (auth_found.erase(key(iface, name, domain)) > 0) {
                        notify_auth();
                    }
                } else if (found.erase(key(iface, name, domain)) > 0) {
                    notify();
                }
                break;
            case AVAHI_BROWSER_FAILURE:
                std::fprintf(stderr, "nexo-nmos: DNS-SD: browsing failed: %s\n",
                             avahi_strerror(avahi_client_errno(client)));
                break;
            case AVAHI_BROWSER_ALL_FOR_NOW:
            case AVAHI_BROWSER_CACHE_EXHAUSTED:
                break;
        }
    }

    void on_resolved(AvahiIfIndex iface, const char* name, const char* domain, const char* host,
                     const AvahiAddress& address, uint16_t svc_port, AvahiStringList* list) {
        char text[AVAHI_ADDRESS_STR_MAX];
        avahi_address_snprint(text, sizeof text, &address);
        const std::vector<std::string> txt = txt_strings(list);
        std::string k = key(iface, name, domain);
        // An https registry is reached by its host name, which its certificate names; an
        // address would never match it.
        std::string where = text;
        if (sec.tls && host != nullptr && *host != '\0') {
            where = host;
            if (where.back() == '.') {
                where.pop_back();
            }
        }
        std::optional<registry_ad> ad = registry_from_txt(txt, where, svc_port, sec);
        if (!ad) {
            std::fprintf(stderr, "nexo-nmos: DNS-SD: registry \"%s\" at %s:%u not usable\n", name,
                         text, svc_port);
            if (found.erase(k) > 0) {
                notify();
            }
            return;
        }
        auto it = found.find(k);
        if (it != found.end() && it->second.url == ad->url && it->second.priority == ad->priority) {
            return;  // the same announcement, resolved again
        }
        ad->tiebreak = static_cast<unsigned>(rng());
        std::fprintf(stderr, "nexo-nmos: DNS-SD: registry %s (pri %d)\n", ad->url.c_str(),
                     ad->priority);
        found[k] = std::move(*ad);
        notify();
    }

    void on_auth_resolved(AvahiIfIndex iface, const char* name, const char* domain,
                          const char* host, const AvahiAddress& address, uint16_t svc_port,
                          AvahiStringList* list) {
        char text[AVAHI_ADDRESS_STR_MAX];
        avahi_address_snprint(text, sizeof text, &address);
        const std::vector<std::string> txt = txt_strings(list);
        std::string hostname = host != nullptr ? host : "";
        if (!hostname.empty() && hostname.back() == '.') {
            hostname.pop_back();
        }
        std::string k = key(iface, name, domain);
        std::optional<registry_ad> ad = auth_server_from_txt(txt, hostname, text, svc_port, sec);
        if (!ad) {
            std::fprintf(stderr,
                         "nexo-nmos: DNS-SD: Authorization Server \"%s\" at %s:%u not usable\n",
                         name, text, svc_port);
            if (auth_found.erase(k) > 0) {
                notify_auth();
            }
            return;
        }
        auto it = auth_found.find(k);
        if (it != auth_found.end() && it->second.url == ad->url &&
            it->second.priority == ad->priority) {
            return;
        }
        ad->tiebreak = static_cast<unsigned>(rng());
        std::fprintf(stderr, "nexo-nmos: DNS-SD: Authorization Server %s (pri %d)\n",
                     ad->url.c_str(), ad->priority);
        auth_found[k] = std::move(*ad);
        notify_auth();
    }

    void on_group(AvahiEntryGroup* g, AvahiEntryGroupState state) {
        group = g;
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            char* other = avahi_alternative_service_name(name.c_str());
            std::fprintf(stderr, "nexo-nmos: DNS-SD: \"%s\" is taken, announcing as \"%s\"\n",
                         name.c_str(), other);
            name = other;
            avahi_free(other);
            avahi_entry_group_reset(g);
            publish();
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            std::fprintf(stderr, "nexo-nmos: DNS-SD: announcement failed: %s\n",
                         avahi_strerror(avahi_client_errno(client)));
        }
    }

    AvahiStringList* txt_list() const {
        AvahiStringList* l = nullptr;
        std::vector<std::string> txt = node_txt(versions, sec);
        // avahi_string_list_add prepends: add the last first.
        for (auto it = txt.rbegin(); it != txt.rend(); ++it) {
            l = avahi_string_list_add(l, it->c_str());
        }
        return l;
    }

    // Brings the announcement in line with the mode.
    void publish() {
        if (client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) {
            return;
        }
        if (!peer_to_peer) {
            if (group != nullptr) {
                avahi_entry_group_reset(group);
            }
            return;
        }
        if (group == nullptr) {
            group = avahi_entry_group_new(client, group_cb, this);
            if (group == nullptr) {
                return;
            }
        }
        AvahiStringList* txt = txt_list();
        int r;
        if (avahi_entry_group_is_empty(group)) {
            r = avahi_entry_group_add_service_strlst(
                group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, static_cast<AvahiPublishFlags>(0),
                name.c_str(), kNodeService, nullptr, nullptr, port, txt);
            if (r == 0) {
                r = avahi_entry_group_commit(group);
            }
        } else {
            r = avahi_entry_group_update_service_txt_strlst(
                group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, static_cast<AvahiPublishFlags>(0),
                name.c_str(), kNodeService, nullptr, txt);
        }
        avahi_string_list_free(txt);
        if (r == AVAHI_ERR_COLLISION) {
            on_group(group, AVAHI_ENTRY_GROUP_COLLISION);
        } else if (r < 0) {
            std::fprintf(stderr, "nexo-nmos: DNS-SD: cannot announce the node: %s\n",
                         avahi_strerror(r));
        }
    }
};

dns_sd::dns_sd(std::string name, std::uint16_t port, std::function<void()> on_registries,
               api_security sec)
    : p_(std::make_unique<impl>()) {
    p_->sec = sec;
    // Service instance names are at most 63 bytes.
    if (name.size() > 63) {
        name.resize(63);
    }
    p_->name = std::move(name);
    p_->port = port;
    p_->on_registries = std::move(on_registries);
    p_->poll = avahi_threaded_poll_new();
    if (p_->poll == nullptr) {
        std::fprintf(stderr, "nexo-nmos: DNS-SD unavailable: no event loop\n");
        return;
    }
    p_->connect();
    avahi_threaded_poll_start(p_->poll);
}

dns_sd::~dns_sd() {
    if (p_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_stop(p_->poll);
    // The client takes its browser, resolvers and announcement with it.
    if (p_->client != nullptr) {
        avahi_client_free(p_->client);
    }
    avahi_threaded_poll_free(p_->poll);
}

std::vector<std::string> dns_sd::registries() const {
    if (p_->poll == nullptr) {
        return {};
    }
    std::vector<registry_ad> ads;
    avahi_threaded_poll_lock(p_->poll);
    for (const auto& [k, ad] : p_->found) {
        ads.push_back(ad);
    }
    avahi_threaded_poll_unlock(p_->poll);
    return by_priority(std::move(ads));
}

std::vector<std::string> dns_sd::auth_servers() const {
    if (p_->poll == nullptr) {
        return {};
    }
    avahi_threaded_poll_lock(p_->poll);
    std::vector<std::string> list = p_->auth_list();
    avahi_threaded_poll_unlock(p_->poll);
    return list;
}

void dns_sd::on_auth_servers(std::function<void(const std::vector<std::string>&)> on_change) {
    if (p_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_lock(p_->poll);
    p_->on_auth = on_change;
    std::vector<std::string> now = p_->auth_list();
    avahi_threaded_poll_unlock(p_->poll);
    on_change(now);
}

void dns_sd::detach() {
    if (p_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_lock(p_->poll);
    p_->on_registries = nullptr;
    p_->on_auth = nullptr;
    avahi_threaded_poll_unlock(p_->poll);
}

void dns_sd::set_peer_to_peer(bool on) {
    if (p_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_lock(p_->poll);
    if (p_->peer_to_peer != on) {
        p_->peer_to_peer = on;
        p_->publish();
    }
    avahi_threaded_poll_unlock(p_->poll);
}

void dns_sd::changed(resource_type t) {
    if (p_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_lock(p_->poll);
    ++p_->versions[ver_index(t)];  // wraps from 255 to 0
    if (p_->peer_to_peer) {
        p_->publish();
    }
    avahi_threaded_poll_unlock(p_->poll);
}

}  // namespace nexo::nmos
