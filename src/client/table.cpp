#include "client/table.h"

#include "client/client.h"
#include "client/text.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// The cells in one text, for tables of a million rows: a string each would
// cost more than the text.
struct ks_table {
    std::vector<ks_table_column> columns;
    std::string text;        // the masked cells, row after row
    std::vector<size_t> ends; // where each cell ends in text
    std::vector<size_t> widths; // in characters
};

// Masked text is UTF-8 throughout: every byte that does not continue a
// character starts one.
static size_t characters(const char *text, size_t length)
{
    return static_cast<size_t>(
        std::count_if(text, text + length, [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
}

struct ks_table *ks_table_new(const struct ks_table_column *columns, size_t n_columns)
{
    try {
        auto *table = new ks_table;
        table->columns.assign(columns, columns + n_columns);
        for (size_t i = 0; i < n_columns; i++)
            table->widths.push_back(strlen(columns[i].heading));
        return table;
    } catch (const std::bad_alloc &) {
        ks_client_allocation_failure();
    }
}

void ks_table_cell(struct ks_table *table, const char *text, size_t length)
{
    if (text == nullptr) {
        text = "-";
        length = 1;
    }
    try {
        size_t start = table->text.size();
        table->text.resize(start + length);
        table->text.resize(start + ks_text_mask(text, length, table->text.data() + start));
        size_t column = table->ends.size() % table->columns.size();
        table->widths[column] =
            std::max(table->widths[column], characters(table->text.data() + start, table->text.size() - start));
        table->ends.push_back(table->text.size());
    } catch (const std::bad_alloc &) {
        ks_client_allocation_failure();
    }
}

void ks_table_cell_str(struct ks_table *table, const char *text)
{
    ks_table_cell(table, text, text != nullptr ? strlen(text) : 0);
}

static void put_cell(const struct ks_table *table, size_t column, const char *text, size_t length, size_t width,
                     FILE *out)
{
    bool last = column + 1 == table->columns.size();
    size_t pad = table->widths[column] > width ? table->widths[column] - width : 0;

    if (column > 0)
        fputs("  ", out);
    if (table->columns[column].right)
        for (size_t i = 0; i < pad; i++)
            putc_unlocked(' ', out);
    fwrite_unlocked(text, 1, length, out);
    if (!table->columns[column].right && !last)
        for (size_t i = 0; i < pad; i++)
            putc_unlocked(' ', out);
    if (last)
        putc_unlocked('\n', out);
}

void ks_table_print(const struct ks_table *table, FILE *out)
{
    size_t n = table->columns.size();

    if (table->ends.empty())
        return;
    for (size_t i = 0; i < n; i++) {
        const char *heading = table->columns[i].heading;
        put_cell(table, i, heading, strlen(heading), strlen(heading), out);
    }
    for (size_t i = 0, start = 0; i < table->ends.size(); start = table->ends[i++]) {
        const char *cell = table->text.data() + start;
        size_t length = table->ends[i] - start;
        put_cell(table, i % n, cell, length, characters(cell, length), out);
    }
}

void ks_table_free(struct ks_table *table) { delete table; }
