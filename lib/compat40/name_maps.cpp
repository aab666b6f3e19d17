// SPDX-License-Identifier: GPL-2.0-or-later
// Gives back the memory of the engine's name-resolution maps before a new
// dissection session replaces them.
//
// Why: in 4.0, epan_new runs init_dissection, whose host_name_lookup_reset
// builds the name-resolution maps afresh (manufacturers, well-known
// addresses, ethers, services, and the IPv4, IPv6, IPX network and VLAN
// caches) in the engine's epan scope, while the matching cleanups only drop
// the pointers. The epan scope is freed only by epan_cleanup, so every
// session would keep about 10.5 MB (mostly the manuf table) until the process
// ends. The previous maps are still reachable through the getters the engine
// exports, and nothing else refers to them once the previous session is gone:
// this frees them through the same allocator right before the next session is
// made, so the new maps reuse the blocks the old ones held.
//
// The walk mirrors the 4.0 layout of wmem_map_t and of its items
// (wsutil/wmem/wmem_map.c), which no public header declares; that is why this
// lives in the version layer. A map is freed only when its layout checks out:
// both of its allocators are the epan scope and walking its buckets finds
// exactly wmem_map_size() items. Any other map is left alone, as the engine
// itself leaves it.
#include "compat40/name_maps.h"

#include <epan/addr_resolv.h>
#include <epan/wmem_scopes.h>
#include <wsutil/wmem/wmem.h>

namespace {

// wmem_map_t and its items as 4.0 lays them out.
struct map_item_40 {
    const void *key;
    void *value;
    map_item_40 *next;
};

struct map_40 {
    guint count;
    size_t capacity;  // base-2 logarithm of the bucket count
    map_item_40 **table;
    GHashFunc hash_func;
    GEqualFunc eql_func;
    guint metadata_scope_cb_id;
    guint data_scope_cb_id;
    wmem_allocator_t *metadata_allocator;
    wmem_allocator_t *data_allocator;
};

// What a map owns besides its items, as addr_resolv.c fills it.
enum class map_owns {
    value,              // integer keys, or a key that lies inside the value (ethers)
    key_and_value,      // a key allocated of its own (well-known addresses, IPv6)
    service_and_names,  // a serv_port_t and the name texts it points to
};

// Buckets a map may have before the check gives up on it (the largest
// map, manuf, has about 2^16).
constexpr size_t largest_capacity_log2 = 28;

// True when `map` is laid out as 4.0 lays out a map of `scope`: both
// allocators are `scope`, and its buckets hold exactly wmem_map_size() items.
bool map_checks_out(wmem_map_t *public_map, wmem_allocator_t *scope)
{
    const auto *map = reinterpret_cast<const map_40 *>(public_map);
    if (map->metadata_allocator != scope || map->data_allocator != scope)
        return false;
    const size_t expected = wmem_map_size(public_map);
    if (!map->table)
        return expected == 0;
    if (map->capacity > largest_capacity_log2)
        return false;
    const size_t buckets = static_cast<size_t>(1) << map->capacity;
    size_t found = 0;
    for (size_t i = 0; i < buckets; ++i)
        for (const map_item_40 *item = map->table[i]; item; item = item->next)
            if (++found > expected)
                return false;  // also stops on a cycle
    return found == expected;
}

void free_map(wmem_map_t *public_map, map_owns owns, wmem_allocator_t *scope)
{
    if (!public_map || !map_checks_out(public_map, scope))
        return;
    auto *map = reinterpret_cast<map_40 *>(public_map);
    if (map->table) {
        const size_t buckets = static_cast<size_t>(1) << map->capacity;
        for (size_t i = 0; i < buckets; ++i) {
            map_item_40 *item = map->table[i];
            while (item) {
                map_item_40 *next = item->next;
                if (owns == map_owns::key_and_value)
                    wmem_free(scope, const_cast<void *>(item->key));
                if (owns == map_owns::service_and_names) {
                    auto *service = static_cast<serv_port_t *>(item->value);
                    if (service) {
                        wmem_free(scope, service->udp_name);
                        wmem_free(scope, service->tcp_name);
                        wmem_free(scope, service->sctp_name);
                        wmem_free(scope, service->dccp_name);
                        wmem_free(scope, service->numeric);
                    }
                }
                wmem_free(scope, item->value);
                wmem_free(scope, item);
                item = next;
            }
        }
        wmem_free(scope, map->table);
    }
    wmem_free(scope, map);
}

}  // namespace

void release_name_maps()
{
    wmem_allocator_t *scope = wmem_epan_scope();
    if (!scope)
        return;
    free_map(get_manuf_hashtable(), map_owns::value, scope);
    free_map(get_wka_hashtable(), map_owns::key_and_value, scope);
    free_map(get_eth_hashtable(), map_owns::value, scope);
    free_map(get_serv_port_hashtable(), map_owns::service_and_names, scope);
    free_map(get_ipxnet_hash_table(), map_owns::value, scope);
    free_map(get_vlan_hash_table(), map_owns::value, scope);
    free_map(get_ipv4_hash_table(), map_owns::value, scope);
    free_map(get_ipv6_hash_table(), map_owns::key_and_value, scope);
}
