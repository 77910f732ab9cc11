#include "memory/memory_schema.h"

#include <array>

namespace vask::memory_schema {
namespace {

// Version 1 turns an unversioned table into the constrained one, lower-casing ids on the way.
constexpr std::array<std::string_view, 11> version1 = {
    "CREATE TABLE IF NOT EXISTS associations(\n"
    "    id TEXT PRIMARY KEY,\n"
    "    principal TEXT NOT NULL,\n"
    "    term TEXT NOT NULL,\n"
    "    definition TEXT NOT NULL,\n"
    "    state TEXT NOT NULL,\n"
    "    created_at INTEGER NOT NULL,\n"
    "    updated_at INTEGER NOT NULL\n"
    ")",
    "ALTER TABLE associations RENAME TO associations_v0",
    "CREATE TABLE associations(\n"
    "    id TEXT PRIMARY KEY CHECK(\n"
    "        length(id) = 36\n"
    "        AND id = lower(id)\n"
    "        AND substr(id, 9, 1) = '-'\n"
    "        AND substr(id, 14, 1) = '-'\n"
    "        AND substr(id, 19, 1) = '-'\n"
    "        AND substr(id, 24, 1) = '-'\n"
    "        AND length(replace(id, '-', '')) = 32\n"
    "        AND replace(id, '-', '') NOT GLOB '*[^0-9a-f]*'\n"
    "    ),\n"
    "    principal TEXT NOT NULL CHECK(\n"
    "        length(trim(principal, ' ' || char(9) || char(10) || char(13))) > 0\n"
    "    ),\n"
    "    term TEXT NOT NULL,\n"
    "    definition TEXT NOT NULL,\n"
    "    state TEXT NOT NULL CHECK(state IN ('active', 'tombstoned')),\n"
    "    created_at INTEGER NOT NULL,\n"
    "    updated_at INTEGER NOT NULL\n"
    ")",
    "INSERT INTO associations(id, principal, term, definition, state, created_at, updated_at)\n"
    "SELECT lower(id), principal, term, definition, state, created_at, updated_at\n"
    "FROM associations_v0",
    "DROP TABLE associations_v0",
    "CREATE INDEX IF NOT EXISTS associations_principal_state_idx\n"
    "ON associations(principal, state)",
    "CREATE VIRTUAL TABLE IF NOT EXISTS associations_fts USING fts5(\n"
    "    id UNINDEXED,\n"
    "    principal UNINDEXED,\n"
    "    term,\n"
    "    definition\n"
    ")",
    "CREATE TRIGGER IF NOT EXISTS associations_fts_insert\n"
    "AFTER INSERT ON associations\n"
    "WHEN new.state = 'active'\n"
    "BEGIN\n"
    "    INSERT INTO associations_fts(id, principal, term, definition)\n"
    "    VALUES (new.id, new.principal, new.term, new.definition);\n"
    "END",
    "CREATE TRIGGER IF NOT EXISTS associations_fts_delete\n"
    "AFTER DELETE ON associations BEGIN\n"
    "    DELETE FROM associations_fts WHERE id = old.id;\n"
    "END",
    "CREATE TRIGGER IF NOT EXISTS associations_fts_update\n"
    "AFTER UPDATE ON associations BEGIN\n"
    "    DELETE FROM associations_fts WHERE id = old.id;\n"
    "    INSERT INTO associations_fts(id, principal, term, definition)\n"
    "    SELECT new.id, new.principal, new.term, new.definition\n"
    "    WHERE new.state = 'active';\n"
    "END",
    "INSERT INTO associations_fts(id, principal, term, definition)\n"
    "SELECT id, principal, term, definition\n"
    "FROM associations\n"
    "WHERE state = 'active'",
};

constexpr std::array<std::string_view, 1> version2 = {
    "ALTER TABLE associations\n"
    "ADD COLUMN provenance TEXT NOT NULL DEFAULT 'explicit'\n"
    "CHECK(provenance IN ('explicit', 'inferred'))",
};

// Version 3 gives every id a full-text rowid that is never reused, numbered by created_at, id.
constexpr std::array<std::string_view, 11> version3 = {
    "DROP TRIGGER IF EXISTS associations_fts_insert",
    "DROP TRIGGER IF EXISTS associations_fts_delete",
    "DROP TRIGGER IF EXISTS associations_fts_update",
    "CREATE TABLE association_fts_keys(\n"
    "    fts_rowid INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "    id TEXT NOT NULL UNIQUE\n"
    ")",
    "INSERT INTO association_fts_keys(id)\n"
    "SELECT id FROM associations ORDER BY created_at, id",
    "DROP TABLE IF EXISTS associations_fts",
    "CREATE VIRTUAL TABLE associations_fts USING fts5(\n"
    "    id UNINDEXED,\n"
    "    principal UNINDEXED,\n"
    "    term,\n"
    "    definition\n"
    ")",
    "INSERT INTO associations_fts(rowid, id, principal, term, definition)\n"
    "SELECT keys.fts_rowid, associations.id, associations.principal,\n"
    "       associations.term, associations.definition\n"
    "FROM associations\n"
    "JOIN association_fts_keys AS keys ON keys.id = associations.id\n"
    "WHERE associations.state = 'active'",
    "CREATE TRIGGER associations_fts_insert\n"
    "AFTER INSERT ON associations\n"
    "WHEN new.state = 'active'\n"
    "BEGIN\n"
    "    INSERT OR IGNORE INTO association_fts_keys(id) VALUES (new.id);\n"
    "    INSERT INTO associations_fts(rowid, id, principal, term, definition)\n"
    "    SELECT fts_rowid, new.id, new.principal, new.term, new.definition\n"
    "    FROM association_fts_keys WHERE id = new.id;\n"
    "END",
    "CREATE TRIGGER associations_fts_delete\n"
    "AFTER DELETE ON associations BEGIN\n"
    "    DELETE FROM associations_fts\n"
    "    WHERE rowid = (\n"
    "        SELECT fts_rowid FROM association_fts_keys WHERE id = old.id\n"
    "    );\n"
    "    DELETE FROM association_fts_keys WHERE id = old.id;\n"
    "END",
    "CREATE TRIGGER associations_fts_update\n"
    "AFTER UPDATE ON associations BEGIN\n"
    "    DELETE FROM associations_fts\n"
    "    WHERE rowid = (\n"
    "        SELECT fts_rowid FROM association_fts_keys WHERE id = old.id\n"
    "    );\n"
    "    DELETE FROM association_fts_keys\n"
    "    WHERE id = old.id AND old.id <> new.id;\n"
    "    INSERT OR IGNORE INTO association_fts_keys(id) VALUES (new.id);\n"
    "    INSERT INTO associations_fts(rowid, id, principal, term, definition)\n"
    "    SELECT fts_rowid, new.id, new.principal, new.term, new.definition\n"
    "    FROM association_fts_keys\n"
    "    WHERE id = new.id AND new.state = 'active';\n"
    "END",
};

}  // namespace

std::span<const std::string_view> migrationStatements(std::int32_t version) {
    switch (version) {
        case 1:
            return version1;
        case 2:
            return version2;
        case 3:
            return version3;
        default:
            return {};
    }
}

}  // namespace vask::memory_schema
