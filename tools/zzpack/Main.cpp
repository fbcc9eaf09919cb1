// zzpack: builds, inspects, verifies and stamps update packages.

#include "package/ItemData.h"
#include "package/PackageLocation.h"
#include "package/UpdatePackage.h"
#include "package/ZfedDecoder.h"
#include "tools/zfed/PackageWriter.h"

#include <juce_core/juce_core.h>

#include <iostream>
#include <new>

namespace
{

using juce::ArgumentList;
using juce::ConsoleApplication;
using juce::File;
using juce::String;

// Exit codes of the inspecting commands.
constexpr int exitRejected = 1; // the package (or a block, or an item) is bad
constexpr int exitNoInput = 2;  // a file is missing or unreadable, or carries no package

[[noreturn]] void fail(const String& message, int exitCode = 1)
{
    ConsoleApplication::fail("zzpack: " + message, exitCode);
    std::abort(); // fail() throws; this only tells the compiler so
}

String shown(const File& file)
{
    return file.getFullPathName();
}

// JUCE writes the control character 7 as "\a", which JSON does not know; everything else it
// writes is valid JSON, so that one escape is rewritten. A backslash always starts an escape in
// its output, so scanning escape by escape cannot be misled by the text.
String toJson(const juce::var& value)
{
    const String raw = juce::JSON::toString(value, true);
    String fixed;
    fixed.preallocateBytes(raw.getNumBytesAsUTF8() + 16);
    for (auto p = raw.getCharPointer(); !p.isEmpty();)
    {
        const juce::juce_wchar c = p.getAndAdvance();
        if (c != '\\')
        {
            fixed << String::charToString(c);
            continue;
        }
        const juce::juce_wchar escaped = p.getAndAdvance();
        if (escaped == 'a')
            fixed << "\\u0007";
        else
            fixed << "\\" << String::charToString(escaped);
    }
    return fixed;
}

void printLine(const String& text)
{
    std::cout << text.toRawUTF8() << std::endl;
}

juce::int64 parseNumber(const String& text, const String& what, juce::int64 maximum)
{
    const String t = text.trim();
    const bool hex = t.startsWithIgnoreCase("0x");
    const String digits = hex ? t.substring(2) : t;
    if (digits.isEmpty() || !digits.containsOnly(hex ? "0123456789abcdefABCDEF" : "0123456789") ||
        digits.length() > 16)
        fail(what + " \"" + text + "\" is not a number");
    const juce::int64 value = hex ? digits.getHexValue64() : digits.getLargeIntValue();
    if (value < 0 || value > maximum)
        fail(what + " " + text + " is out of range (0 to " + String(maximum) + ")");
    return value;
}

// Names and titles are stored as ISO 8859-1: one byte per character.
std::string toLatin1(const String& text, const String& what)
{
    std::string bytes;
    for (auto p = text.getCharPointer(); !p.isEmpty();)
    {
        const juce::juce_wchar c = p.getAndAdvance();
        if (c == 0 || c > 0xFF)
            fail(what + " \"" + text + "\" has a character that ISO 8859-1 cannot store");
        bytes.push_back(char(c));
    }
    return bytes;
}

File existingFile(const ArgumentList::Argument& argument, int exitCode = exitNoInput)
{
    const File file = argument.resolveAsFile();
    if (!file.existsAsFile())
        fail(shown(file) + ": no such file", exitCode);
    return file;
}

// ---------------------------------------------------------------------------------------------
// Reading a package from a package file or from an executable that carries one.

struct OpenedPackage
{
    PackageLocation location;
    int version = 0;
};

constexpr char elfMagic[] = {0x7f, 'E', 'L', 'F', 0};

bool startsWith(const File& file, const char* magic, int count)
{
    juce::FileInputStream in(file);
    char head[4] = {};
    return in.openedOk() && in.read(head, count) == count &&
           std::memcmp(head, magic, size_t(count)) == 0;
}

PackageLocation findPackageIn(const File& file)
{
    if (!file.existsAsFile())
        fail(shown(file) + ": no such file", exitNoInput);
    juce::FileInputStream probe(file);
    if (!probe.openedOk())
        fail(shown(file) + ": cannot be read", exitNoInput);

    PackageLocation location;
    if (startsWith(file, "MZ", 2) || startsWith(file, elfMagic, 4))
    {
        if (!findEmbeddedPackage(file.getFullPathName(), location))
            fail(shown(file) + ": an executable without an embedded package", exitNoInput);
        return location;
    }
    if (file.getSize() > 0xFFFFFFFFll)
        fail(shown(file) + ": larger than any package can be (4 GiB)", exitRejected);
    location.file = file;
    location.size = juce::uint32(file.getSize());
    return location;
}

OpenedPackage loadPackage(const File& file, UpdatePackage& package)
{
    OpenedPackage opened;
    opened.location = findPackageIn(file);
    if (!package.load(opened.location.offset, opened.location.size, opened.location.file))
        fail(shown(file) + ": not a valid update package: " + package.getLoadError(), exitRejected);
    juce::FileInputStream in(opened.location.file);
    in.setPosition(juce::int64(opened.location.offset) + 4);
    opened.version = juce::uint16(in.readShort());
    return opened;
}

String describe(const PackageItem& item)
{
    return item.title.isEmpty() ? item.name : item.title + " (" + item.name + ")";
}

// ---------------------------------------------------------------------------------------------
// The commands.

void listCommand(const ArgumentList& args)
{
    const bool json = args.containsOption("--json");
    ArgumentList rest = args;
    rest.removeOptionIfFound("--json");
    if (rest.size() != 2)
        fail("usage: zzpack list [--json] FILE");

    UpdatePackage package;
    const OpenedPackage opened = loadPackage(rest[1].resolveAsFile(), package);

    if (json)
    {
        juce::Array<juce::var> items;
        for (int i = 0; i < package.getNumItems(); ++i)
        {
            const PackageItem& item = package.getItem(i);
            auto* object = new juce::DynamicObject();
            object->setProperty("name", item.name);
            object->setProperty("title", item.title);
            object->setProperty("dataOffset", juce::int64(item.dataOffset));
            object->setProperty("storedSize", juce::int64(item.storedSize));
            object->setProperty("decodedSize", juce::int64(item.decodedSize));
            object->setProperty("targetId", int(item.targetId));
            object->setProperty("targetAddress", juce::int64(item.targetAddress));
            items.add(juce::var(object));
        }
        auto* root = new juce::DynamicObject();
        root->setProperty("file", opened.location.file.getFullPathName());
        root->setProperty("offset", juce::int64(opened.location.offset));
        root->setProperty("size", juce::int64(opened.location.size));
        root->setProperty("version", opened.version);
        root->setProperty("items", items);
        printLine(toJson(juce::var(root)));
        return;
    }

    printLine(shown(opened.location.file) + ": package of " + String(opened.location.size) +
              " bytes at offset " + String(opened.location.offset) + ", container version " +
              String(opened.version) + ", " + String(package.getNumItems()) + " items");
    for (int i = 0; i < package.getNumItems(); ++i)
    {
        const PackageItem& item = package.getItem(i);
        printLine(String::formatted("  %2d  target 0x%04X at 0x%08X  %10u bytes  ", i + 1,
                                    unsigned(item.targetId), unsigned(item.targetAddress),
                                    unsigned(item.decodedSize)) +
                  (item.storedSize == 0
                       ? String("stored      ")
                       : String::formatted("zFED %7u", unsigned(item.storedSize))) +
                  "  " + describe(item));
    }
}

void locateCommand(const ArgumentList& args)
{
    const bool json = args.containsOption("--json");
    ArgumentList rest = args;
    rest.removeOptionIfFound("--json");
    if (rest.size() != 2)
        fail("usage: zzpack locate [--json] EXE");

    const PackageLookup lookup = locatePackageFor(rest[1].resolveAsFile());
    auto* root = new juce::DynamicObject();
    root->setProperty("found", lookup.found);
    if (lookup.found)
    {
        root->setProperty("file", lookup.location.file.getFullPathName());
        root->setProperty("offset", juce::int64(lookup.location.offset));
        root->setProperty("size", juce::int64(lookup.location.size));
    }
    else
    {
        root->setProperty("sideFile", lookup.sideFile);
    }
    if (json)
        printLine(toJson(juce::var(root)));
    else if (lookup.found)
        printLine(shown(lookup.location.file) + ": " + String(lookup.location.size) +
                  " bytes at offset " + String(lookup.location.offset));
    else
        printLine("no package: neither embedded nor at " + lookup.sideFile);
    if (!lookup.found)
        fail("no package found", exitNoInput);
}

void decodeCommand(const ArgumentList& args)
{
    if (args.size() != 3)
        fail("usage: zzpack decode IN OUT");
    // decode knows two outcomes only: the block decoded (0) or it did not (1).
    const File in = existingFile(args[1], exitRejected);
    const File out = args[2].resolveAsFile();

    juce::MemoryBlock block;
    if (!in.loadFileAsData(block))
        fail(shown(in) + ": cannot be read", exitRejected);

    // The output buffer is exactly as large as the block says; the decoder sees only IN's bytes.
    juce::uint32 declared = 0;
    if (block.getSize() >= 8)
        declared = juce::ByteOrder::littleEndianInt(static_cast<const char*>(block.getData()) + 4);
    std::unique_ptr<std::uint8_t[]> output(new (std::nothrow)
                                               std::uint8_t[juce::jmax(declared, 1u)]);
    if (output == nullptr)
        fail(shown(in) + ": no memory for the " + String(declared) + " bytes the block declares");

    const int result = decodeBlock(static_cast<const std::uint8_t*>(block.getData()),
                                   block.getSize(), output.get(), declared);
    printLine("result " + String(result));
    if (result <= 0)
        fail(shown(in) + ": the block does not decode (result " + String(result) + ")",
             exitRejected);
    if (!out.replaceWithData(output.get(), size_t(result)))
        fail(shown(out) + ": cannot be written", exitRejected);
}

String itemProblem(const ItemData& data)
{
    switch (data.status)
    {
    case ItemData::Status::ok:
        return {};
    case ItemData::Status::cannotAccess:
        return "its stored bytes cannot be read";
    case ItemData::Status::decodeFailed:
        break;
    }
    return "its block does not decode to its size (result " + String(data.decoderResult) + ")";
}

void verifyCommand(const ArgumentList& args)
{
    if (args.size() != 2)
        fail("usage: zzpack verify FILE");
    UpdatePackage package;
    loadPackage(args[1].resolveAsFile(), package);

    int failures = 0;
    for (int i = 0; i < package.getNumItems(); ++i)
    {
        const PackageItem& item = package.getItem(i);
        const ItemData data = readItemData(item);
        if (data.status == ItemData::Status::ok)
        {
            printLine(describe(item) + ": OK");
            continue;
        }
        ++failures;
        if (data.status == ItemData::Status::decodeFailed)
            printLine(describe(item) + ": FAILED, result " + String(data.decoderResult));
        else
            printLine(describe(item) + ": FAILED, " + itemProblem(data));
    }
    if (failures > 0)
        fail(String(failures) + " of " + String(package.getNumItems()) + " items failed",
             exitRejected);
}

// An item name as a file name: names come from the package and must not reach outside DIR.
String fileNameFor(const String& name)
{
    String safe;
    for (auto p = name.getCharPointer(); !p.isEmpty();)
    {
        const juce::juce_wchar c = p.getAndAdvance();
        safe << (c < 32 || c == '/' || c == '\\' || c == ':' ? String("_")
                                                             : String::charToString(c));
    }
    if (safe.isEmpty() || safe == "." || safe == "..")
        safe = "_" + safe;
    return safe;
}

void extractCommand(const ArgumentList& args)
{
    if (args.size() != 3)
        fail("usage: zzpack extract FILE DIR");
    UpdatePackage package;
    loadPackage(args[1].resolveAsFile(), package);
    const File dir = args[2].resolveAsFile();
    if (!dir.createDirectory())
        fail(shown(dir) + ": cannot be created", exitRejected);

    int failures = 0;
    juce::StringArray used;
    for (int i = 0; i < package.getNumItems(); ++i)
    {
        const PackageItem& item = package.getItem(i);
        String fileName = fileNameFor(item.name);
        for (int n = 2; used.contains(fileName, true); ++n)
            fileName = fileNameFor(item.name) + "-" + String(n);
        used.add(fileName);

        const ItemData data = readItemData(item);
        if (data.status != ItemData::Status::ok)
        {
            std::cerr << "zzpack: " << item.name << ": " << itemProblem(data) << std::endl;
            ++failures;
            continue;
        }
        const File target = dir.getChildFile(fileName);
        if (!target.replaceWithData(data.bytes.get(), data.size))
            fail(shown(target) + ": cannot be written", exitRejected);
        printLine(shown(target) + ": " + String(data.size) + " bytes");
    }
    if (failures > 0)
        fail(String(failures) + " items could not be extracted", exitRejected);
}

void createCommand(const ArgumentList& args)
{
    if (args.size() < 2)
        fail("usage: zzpack create OUT [--container-version N] --item FILE [item options]...");
    const File out = args[1].resolveAsFile();

    zfed::PackageLayout layout;
    std::vector<zfed::PackageEntry> entries;
    for (int i = 2; i < args.size(); ++i)
    {
        const String option = args[i].text;
        const bool hasValue = i + 1 < args.size();
        auto value = [&]() -> String
        {
            if (!hasValue)
                fail(option + " needs a value");
            return args[++i].text;
        };
        auto current = [&]() -> zfed::PackageEntry&
        {
            if (entries.empty())
                fail(option + " must follow an --item");
            return entries.back();
        };

        if (option == "--container-version")
            layout.version = juce::uint16(parseNumber(value(), "container version", 528));
        else if (option == "--item")
        {
            if (!hasValue)
                fail("--item needs a file");
            const File source = existingFile(args[++i]);
            juce::MemoryBlock bytes;
            if (!source.loadFileAsData(bytes))
                fail(shown(source) + ": cannot be read", exitNoInput);
            zfed::PackageEntry entry;
            entry.name = toLatin1(source.getFileName(), "the name");
            const auto* begin = static_cast<const std::uint8_t*>(bytes.getData());
            entry.data.assign(begin, begin + bytes.getSize());
            entry.timeStamp =
                juce::uint32(source.getLastModificationTime().toMilliseconds() / 1000);
            entries.push_back(std::move(entry));
        }
        else if (option == "--name")
            current().name = toLatin1(value(), "the name");
        else if (option == "--title")
            current().title = toLatin1(value(), "the title");
        else if (option == "--target")
            current().targetId = std::uint16_t(parseNumber(value(), "target id", 0xFFFF));
        else if (option == "--address")
            current().targetAddress = std::uint32_t(parseNumber(value(), "address", 0xFFFFFFFF));
        else if (option == "--timestamp")
            current().timeStamp = std::uint32_t(parseNumber(value(), "time stamp", 0xFFFFFFFF));
        else if (option == "--stored")
            current().compress = false;
        else
            fail("unknown option \"" + option + "\" (see zzpack --help)");
    }

    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!zfed::writePackage(entries, layout, bytes, error))
        fail(String(error));
    if (!out.replaceWithData(bytes.data(), bytes.size()))
        fail(shown(out) + ": cannot be written", exitNoInput);

    UpdatePackage check;
    if (!check.load(0, juce::uint32(bytes.size()), out))
        fail(shown(out) + ": written, but does not read back: " + check.getLoadError());
    printLine(shown(out) + ": " + String(bytes.size()) + " bytes, " + String(entries.size()) +
              " items, container version " + String(layout.version));
}

// The file named by the argument after `option`; no file when the option is not given.
File fileAfter(const ArgumentList& args, const String& option)
{
    for (int i = 0; i < args.size(); ++i)
    {
        if (args[i].text != option)
            continue;
        if (i + 1 >= args.size())
            fail(option + " needs a file");
        return args[i + 1].resolveAsFile();
    }
    return {};
}

// Runs objcopy, which writes the sections of an ELF file as the system's own tools do.
void runObjcopy(const juce::StringArray& arguments)
{
    juce::ChildProcess process;
    if (!process.start(arguments, juce::ChildProcess::wantStdErr | juce::ChildProcess::wantStdOut))
        fail("objcopy cannot be started (it comes with binutils)");
    const String output = process.readAllProcessOutput();
    process.waitForProcessToFinish(60000);
    if (process.getExitCode() != 0)
        fail("objcopy failed: " + output.trim());
}

void stampCommand(const ArgumentList& args)
{
    if (args.size() < 3)
        fail("usage: zzpack stamp EXE OUT --package PACKAGE [--branding ZIP]");
    const File exe = existingFile(args[1]);
    const File out = args[2].resolveAsFile();
    const File packageFile = fileAfter(args, "--package");
    if (packageFile == File())
        fail("stamp needs --package PACKAGE");
    if (!packageFile.existsAsFile())
        fail(shown(packageFile) + ": no such file", exitNoInput);
    if (!startsWith(exe, elfMagic, 4))
        fail(shown(exe) + ": not an ELF executable");

    UpdatePackage check;
    if (packageFile.getSize() > 0xFFFFFFFFll ||
        !check.load(0, juce::uint32(packageFile.getSize()), packageFile))
        fail(shown(packageFile) + ": not a valid update package: " + check.getLoadError(),
             exitRejected);

    juce::StringArray command{"objcopy"};
    auto embed = [&command](const String& section, const File& file)
    {
        command.addArray({"--remove-section", section, "--add-section",
                          section + "=" + file.getFullPathName(), "--set-section-flags",
                          section + "=noload,readonly"});
    };
    embed(".Archive", packageFile);
    if (const File branding = fileAfter(args, "--branding"); branding != File())
    {
        juce::ZipFile zip(branding);
        if (!branding.existsAsFile() || zip.getNumEntries() == 0)
            fail(shown(branding) + ": not a ZIP archive with entries", exitRejected);
        embed(".ZantoUpdater", branding);
    }
    command.addArray({exe.getFullPathName(), out.getFullPathName()});
    runObjcopy(command);
    out.setExecutePermission(true);

    // Read it back the way the updater will.
    PackageLocation found;
    juce::MemoryBlock expected, embedded;
    packageFile.loadFileAsData(expected);
    juce::FileInputStream in(out);
    if (!findEmbeddedPackage(out.getFullPathName(), found) || found.size != expected.getSize() ||
        !in.setPosition(found.offset) ||
        in.readIntoMemoryBlock(embedded, found.size) != found.size || embedded != expected)
        fail(shown(out) + ": the stamped package does not read back");
    printLine(shown(out) + ": package of " + String(found.size) + " bytes at offset " +
              String(found.offset));
}

const char* const overview =
    "zzpack builds, inspects, verifies and stamps update packages.\n"
    "\n"
    "Exit codes: 0 done; 1 the package, block or an item is bad (or the arguments are);\n"
    "2 a file is missing or unreadable, or an executable carries no package.";

} // namespace

int main(int argc, char* argv[])
{
    ConsoleApplication app;
    app.addCommand(
        {"create",
         "create OUT [--container-version N] --item FILE [--name NAME] [--title TITLE] "
         "[--target ID] [--address ADDR] [--timestamp SECONDS] [--stored] ...",
         "Builds a package from files.",
         "Each --item starts an item made of FILE; the options after it apply to it. The "
         "name defaults to the file's name; --title, --target (16-bit id) and --address "
         "(32-bit word address) need container version 512 or above (the default is 528); "
         "older devices derive the target from the item's contents. Items are stored as "
         "zFED blocks unless --stored is given. Numbers may be written as 0x...",
         createCommand});
    app.addCommand(
        {"list", "list [--json] FILE", "Lists the items of a package.",
         "FILE is a package file, or an executable that carries one (the PE resource "
         "\"Archive\" or the ELF section .Archive). --json prints one JSON object: file, "
         "offset, size, version and the items with name, title, dataOffset, storedSize, "
         "decodedSize, targetId and targetAddress.",
         listCommand});
    app.addCommand({"locate", "locate [--json] EXE",
                    "Tells where the updater EXE finds its package.",
                    "The embedded package first, else the side file EXE's folder/base name.zz. "
                    "--json prints {\"found\": true, \"file\", \"offset\", \"size\"} or "
                    "{\"found\": false, \"sideFile\"}. Exit 2 when there is none.",
                    locateCommand});
    app.addCommand({"decode", "decode IN OUT", "Decodes one zFED block.",
                    "IN holds exactly one zFED block. The last line printed is \"result N\", N the "
                    "decoder's result code (the byte count, or a negative code). OUT is written "
                    "only when N > 0; the exit code is then 0, else 1.",
                    decodeCommand});
    app.addCommand({"extract", "extract FILE DIR", "Writes each item's decoded bytes into DIR.",
                    "One file per item, named after the item.", extractCommand});
    app.addCommand(
        {"verify", "verify FILE", "Decodes every item and reports each.",
         "Each item is reported as OK or FAILED with the decoder's result code; the exit "
         "code is 1 when any item fails.",
         verifyCommand});
    app.addCommand({"stamp", "stamp EXE OUT --package PACKAGE [--branding ZIP]",
                    "Embeds a package (and a branding archive) into a copy of an updater.",
                    "EXE is an ELF updater; OUT gets the package as its section .Archive and the "
                    "branding ZIP as .ZantoUpdater, replacing any that EXE had. Needs objcopy.",
                    stampCommand});
    app.addCommand({"--help|-h|help", "--help", "Describes every command.", "",
                    [&app](const ArgumentList& args)
                    {
                        printLine(overview);
                        for (const auto& command : app.getCommands())
                        {
                            std::cout << std::endl;
                            app.printCommandDetails(args, command);
                        }
                    }});

    const ArgumentList args(argc, argv);
    if (args.size() == 0)
    {
        std::cerr << "zzpack: no command given (see zzpack --help)" << std::endl;
        return 1;
    }
    return app.findAndRunCommand(args, true);
}
