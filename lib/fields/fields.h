/* SPDX-License-Identifier: GPL-2.0-or-later */
// The field registry, the matched fields of the current packet and their
// values: what the lifecycle starts and releases.
#pragma once

// An empty registry (start-up).
void fields_init();
// Registers the fields the payload offsets are computed from (start-up, once
// the engine runs).
void fields_register_payload_fields();
// Frees the registry's filter, the matched fields and the value texts
// (shutdown).
void fields_release();
// Forgets the packet a batch read left pending (a capture opens or closes).
void batch_forget_pending();
