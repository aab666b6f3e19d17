/* SPDX-License-Identifier: GPL-2.0-or-later */
// The texts handed out by the value getters (private to lib/fields).
#pragma once

#include <cstddef>
#include <cstdint>

struct values_state_record {
    // The text handed out by the string getters. Its storage is kept and
    // reused: a text stays readable until the next string getter that gets
    // past its type test, and the buffer grows only when a longer text comes
    // along.
    char *string_text;
    size_t string_capacity;
    int32_t string_size;  // bytes of the text, terminating NUL included
    // The text handed out by the value-text calls, kept apart from the string
    // getters' text so that each lasts until the next call of its own kind.
    char *value_text;
    size_t value_text_capacity;
    int32_t value_text_size;
};
extern values_state_record values_state;

// Frees both texts and leaves them empty.
void values_release();
