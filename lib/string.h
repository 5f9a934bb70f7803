// Byte-string, memory and character routines of the freestanding kernel.
#pragma once

#include <stdint.h>

uint32_t str_len(const char* s);
char* str_copy(char* dst, const char* src);
int32_t str_compare(const char* a, const char* b);
void* mem_copy(void* dst, const void* src, uint32_t n);
void* mem_set(void* dst, uint8_t value, uint32_t n);
char* str_find_char(const char* s, int32_t c);
int32_t str_index_of(uint8_t c, const char* s, uint32_t start);
int32_t str_substring(const char* s, char* dst, int32_t from, int32_t to);
void str_to_upper(const char* src, char* dst);
void str_to_lower(const char* src, char* dst);
uint8_t char_to_upper(uint8_t c);
uint8_t char_to_lower(uint8_t c);
bool char_is_ascii(int32_t c);
bool str_starts_with_nocase(const char* s, const char* prefix);
bool str_ends_with_nocase(const char* s, const char* suffix);
int32_t str_to_int(const char* s);
int32_t int_abs(int32_t x);
