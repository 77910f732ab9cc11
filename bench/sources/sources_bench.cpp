#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/user_defaults.h"
#include "sources/contacts_manager.h"
#include "sources/contacts_store.h"
#include "sources/vcard_contact_store.h"

namespace {

// A folder under the temporary directory, removed when the benchmark ends.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string name = (std::filesystem::temp_directory_path() / "vask-bench-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) {
            std::abort();
        }
        path_ = name;
    }
    ~ScratchFolder() { std::filesystem::remove_all(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

std::vector<vask::ContactPayload> addressBook(std::size_t count) {
    std::vector<vask::ContactPayload> contacts;
    contacts.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        vask::ContactPayload contact;
        contact.appleID = "contact-" + std::to_string(i);
        contact.displayName = "Person " + std::to_string(i);
        contact.givenName = "Person";
        contact.familyName = std::to_string(i);
        contact.organization = i % 5 == 0 ? std::optional<std::string>("Firm") : std::nullopt;
        contact.updatedAt = 1'700'000'000;
        contact.identifiers = {
            {vask::ContactIdentifierType::phone, "+1555" + std::to_string(1'000'000 + i)},
            {vask::ContactIdentifierType::email, "person" + std::to_string(i) + "@example.com"}};
        contacts.push_back(std::move(contact));
    }
    return contacts;
}

// The first synchronisation: every contact is new.
void BM_ContactsReplaceAllIntoEmpty(benchmark::State& state) {
    const auto contacts = addressBook(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        ScratchFolder folder;
        vask::ContactsStore store(folder.path() / "contacts.db");
        store.createSchemaIfNeeded();
        state.ResumeTiming();
        store.replaceAll(contacts);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ContactsReplaceAllIntoEmpty)->Arg(10'000)->Unit(benchmark::kMillisecond);

// Every later synchronisation: the same address book again (each row and identifier rewritten).
void BM_ContactsReplaceAllUnchanged(benchmark::State& state) {
    const auto contacts = addressBook(static_cast<std::size_t>(state.range(0)));
    ScratchFolder folder;
    vask::ContactsStore store(folder.path() / "contacts.db");
    store.createSchemaIfNeeded();
    store.replaceAll(contacts);
    for (auto _ : state) {
        store.replaceAll(contacts);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ContactsReplaceAllUnchanged)->Arg(10'000)->Unit(benchmark::kMillisecond);

// Reading a vCard folder of one file per contact and building the payloads.
void BM_ContactsBuildPayloadsFromFolder(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    ScratchFolder folder;
    std::filesystem::create_directory(folder.path() / "cards");
    for (std::size_t i = 0; i < count; ++i) {
        const auto n = std::to_string(i);
        vask::writeFileAtomically(folder.path() / "cards" / ("c" + n + ".vcf"),
                                  "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:c" + n + "\r\nFN:Person " + n +
                                      "\r\nN:" + n + ";Person;;;\r\nTEL;TYPE=CELL:(555) 01" +
                                      std::to_string(10'000 + i % 90'000).substr(1) +
                                      "\r\nEMAIL:Person" + n + "@Example.com\r\nEND:VCARD\r\n");
    }
    vask::InMemoryDefaults defaults;
    auto store = std::make_shared<vask::VCardContactStore>(folder.path() / "cards", defaults);
    vask::ContactsManager manager(store);
    for (auto _ : state) {
        benchmark::DoNotOptimize(manager.buildPayloads("1"));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ContactsBuildPayloadsFromFolder)->Arg(10'000)->Unit(benchmark::kMillisecond);

}  // namespace
