#ifndef KS_CLIENT_TABLE_H
#define KS_CLIENT_TABLE_H

// Tables for the terminal, with a heading line: every column as wide as its
// widest cell, two blanks apart, the last one not padded (it holds what is
// longest, a path). Every cell is masked as the list masks names
// (ks_text_mask), so that nothing a crashed process chose reaches the
// terminal as a control sequence; widths count characters, not bytes.
// Allocation failures end the program.

#include <cstddef>
#include <cstdio>

struct ks_table;

struct ks_table_column {
    const char *heading;
    bool right; // numbers: aligned on the right
};

struct ks_table *ks_table_new(const struct ks_table_column *columns, size_t n_columns);
// The next cell, row after row; null is shown as "-".
void ks_table_cell(struct ks_table *table, const char *text, size_t length);
void ks_table_cell_str(struct ks_table *table, const char *text);
// The heading and the rows; nothing at all without rows.
void ks_table_print(const struct ks_table *table, FILE *out);
// Null is fine.
void ks_table_free(struct ks_table *table);

#endif
