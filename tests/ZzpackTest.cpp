// zzpack as its users run it: a separate process, its stdout, stderr and exit code.

#include "package/PackageLocation.h"
#include "tests/PackageFiles.h"

#include <gtest/gtest.h>

using namespace packagefiles;

namespace
{

struct ToolRun
{
    int exitCode = -1;
    juce::String out;
    juce::String err;
};

class ZzpackTest : public PackageFolder
{
protected:
    ToolRun zzpack(const juce::StringArray& arguments)
    {
        const juce::File errors = folder.getChildFile("stderr.txt");
        juce::String command = "exec \"$0\" \"$@\" 2>" + errors.getFullPathName().quoted('\'');
        juce::StringArray argv{"/bin/sh", "-c", command, ZZPACK_PATH};
        argv.addArray(arguments);
        juce::ChildProcess process;
        ToolRun run;
        if (!process.start(argv, juce::ChildProcess::wantStdOut))
            return run;
        run.out = process.readAllProcessOutput();
        process.waitForProcessToFinish(60000);
        run.exitCode = int(process.getExitCode());
        run.err = errors.loadFileAsString();
        return run;
    }

    juce::String path(const juce::String& name)
    {
        return folder.getChildFile(name).getFullPathName();
    }

    juce::var json(const ToolRun& run) { return juce::JSON::parse(run.out); }
};

TEST_F(ZzpackTest, CreatesAPackageThatListsVerifiesAndExtractsToTheSameBytes)
{
    Bytes firmware(70000);
    for (std::size_t i = 0; i < firmware.size(); ++i)
        firmware[i] = std::uint8_t((i * 31) ^ (i >> 7));
    write(firmware, "fw.bin");
    write(Bytes(1000, 0x42), "bank.bin");

    const ToolRun create =
        zzpack({"create", path("p.zz"), "--item", path("fw.bin"), "--name", "FW", "--title",
                "Main firmware", "--target", "1", "--item", path("bank.bin"), "--target", "0x10",
                "--address", "0x200000", "--stored"});
    ASSERT_EQ(create.exitCode, 0) << create.err;

    const ToolRun list = zzpack({"list", "--json", path("p.zz")});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    const juce::var listed = json(list);
    EXPECT_EQ(listed["file"].toString(), path("p.zz"));
    EXPECT_EQ(int(listed["offset"]), 0);
    EXPECT_EQ(juce::int64(listed["size"]), folder.getChildFile("p.zz").getSize());
    EXPECT_EQ(int(listed["version"]), 528);
    ASSERT_EQ(listed["items"].size(), 2);
    const juce::var fw = listed["items"][0];
    EXPECT_EQ(fw["name"].toString(), "FW");
    EXPECT_EQ(fw["title"].toString(), "Main firmware");
    EXPECT_EQ(int(fw["decodedSize"]), 70000);
    EXPECT_GT(int(fw["storedSize"]), 12);
    EXPECT_EQ(int(fw["targetId"]), 1);
    const juce::var bank = listed["items"][1];
    EXPECT_EQ(bank["title"].toString(), "");
    EXPECT_EQ(int(bank["storedSize"]), 0);
    EXPECT_EQ(int(bank["targetId"]), 16);
    EXPECT_EQ(juce::int64(bank["targetAddress"]), 0x200000);

    const ToolRun verify = zzpack({"verify", path("p.zz")});
    EXPECT_EQ(verify.exitCode, 0) << verify.err;
    EXPECT_TRUE(verify.out.contains("Main firmware (FW): OK")) << verify.out;

    ASSERT_EQ(zzpack({"extract", path("p.zz"), path("out")}).exitCode, 0);
    juce::MemoryBlock extracted;
    ASSERT_TRUE(folder.getChildFile("out/FW").loadFileAsData(extracted));
    EXPECT_EQ(extracted, juce::MemoryBlock(firmware.data(), firmware.size()));
}

TEST_F(ZzpackTest, ListsLatin1NamesAsValidJson)
{
    // Byte 7 is written by JUCE as "\a", which no JSON parser accepts.
    const Bytes bytes = build({entry(std::string("Caf\xE9\x07\"x\\"), Bytes(10, 1))});
    write(bytes, "p.zz");
    const ToolRun list = zzpack({"list", "--json", path("p.zz")});
    ASSERT_EQ(list.exitCode, 0);
    EXPECT_FALSE(list.out.contains("\\a"));
    EXPECT_TRUE(list.out.contains("\\u0007"));
    EXPECT_EQ(json(list)["items"][0]["name"].toString(),
              juce::String(juce::CharPointer_UTF8("Caf\xc3\xa9\x07\"x\\")));
}

TEST_F(ZzpackTest, BadInputGetsOneLineAndTheContractsExitCode)
{
    write(Bytes(100, 'x'), "junk.zz");
    Bytes noise(5000);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = std::uint8_t((i * 2654435761u) >> 13);
    Bytes truncated = build({entry("a", noise, true)});
    truncated.resize(200);
    write(truncated, "short.zz");

    struct Case
    {
        juce::StringArray arguments;
        int exitCode;
        const char* inMessage;
    };
    const Case cases[] = {
        {{"list", path("missing.zz")}, 2, "missing.zz: no such file"},
        {{"list", "--json", path("junk.zz")}, 1, "junk.zz: not a valid update package"},
        {{"list", path("short.zz")}, 1, "data ends beyond the package"},
        {{"list", ZZPACK_PATH}, 2, "an executable without an embedded package"},
        {{"list", folder.getFullPathName()}, 2, "no such file"},
        {{"create", path("x.zz"), "--item", path("junk.zz"), "--frobnicate"}, 1, "unknown option"},
        {{"create", path("x.zz"), "--container-version", "256", "--item", path("junk.zz"),
          "--title", "T"},
         1,
         "need container version 512"},
        {{"create", path("x.zz"), "--title", "T"}, 1, "must follow an --item"},
        {{"create", path("x.zz"), "--item", path("junk.zz"), "--target", "70000"},
         1,
         "out of range"},
        {{"decode", path("missing.bin"), path("out.bin")}, 1, "no such file"},
    };
    for (const Case& c : cases)
    {
        const ToolRun run = zzpack(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments.joinIntoString(" ");
        EXPECT_TRUE(run.err.contains(c.inMessage)) << run.err;
        EXPECT_EQ(run.err.trim().indexOfChar('\n'), -1) << "one line: " << run.err;
    }
}

TEST_F(ZzpackTest, DecodesOneBlockAndReportsTheDecodersResult)
{
    Bytes text;
    for (int i = 0; i < 500; ++i)
        for (char c : std::string("line " + std::to_string(i % 17) + "\n"))
            text.push_back(std::uint8_t(c));
    const Bytes package = build({entry("t", text, true)});
    const std::size_t at = 2 * getU32(package, 16);
    const Bytes block(package.begin() + std::ptrdiff_t(at), package.end());
    write(block, "good.zfed");

    const ToolRun good = zzpack({"decode", path("good.zfed"), path("good.out")});
    EXPECT_EQ(good.exitCode, 0);
    EXPECT_TRUE(good.out.trim().endsWith("result " + juce::String(int(text.size()))));
    juce::MemoryBlock decoded;
    ASSERT_TRUE(folder.getChildFile("good.out").loadFileAsData(decoded));
    EXPECT_EQ(decoded, juce::MemoryBlock(text.data(), text.size()));

    Bytes wrongMagic = block;
    wrongMagic[0] = 'Z';
    write(wrongMagic, "bad.zfed");
    const ToolRun bad = zzpack({"decode", path("bad.zfed"), path("bad.out")});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_TRUE(bad.out.trim().endsWith("result -1"));
    EXPECT_FALSE(folder.getChildFile("bad.out").exists());

    Bytes longer = block; // declares one byte more than it holds
    putU32(longer, 4, std::uint32_t(text.size() + 1));
    write(longer, "long.zfed");
    EXPECT_TRUE(
        zzpack({"decode", path("long.zfed"), path("long.out")}).out.trim().endsWith("result -1"));
}

TEST_F(ZzpackTest, VerifyNamesTheItemThatFails)
{
    Bytes package = build({entry("good", Bytes(300, 1), true), entry("bad", Bytes(300, 2), true)});
    const std::size_t badBlock = 2 * getU32(package, 16 + 32);
    package[badBlock + 12] = 0x01; // a final stored block: refused
    write(package, "p.zz");
    const ToolRun verify = zzpack({"verify", path("p.zz")});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_TRUE(verify.out.contains("good: OK"));
    EXPECT_TRUE(verify.out.contains("bad: FAILED, result -1")) << verify.out;
}

TEST_F(ZzpackTest, ExtractKeepsHostileNamesInsideItsFolder)
{
    write(build({entry("../escape", Bytes(10, 1)), entry("..", Bytes(10, 2)),
                 entry("a/b", Bytes(10, 3))}),
          "p.zz");
    ASSERT_EQ(zzpack({"extract", path("p.zz"), path("out")}).exitCode, 0);
    EXPECT_FALSE(folder.getChildFile("escape").exists());
    EXPECT_EQ(folder.getChildFile("out").getNumberOfChildFiles(juce::File::findFiles), 3);
}

TEST_F(ZzpackTest, StampsAnExecutableThatListsAndLocatesItsPackage)
{
    const Bytes package = build({entry("bank", Bytes(4000, 9), true)});
    write(package, "p.zz");
    ASSERT_TRUE(juce::File(ZZPACK_PATH).copyFileTo(folder.getChildFile("updater")));
    juce::ZipFile::Builder zip;
    juce::MemoryOutputStream title;
    title << "Title";
    zip.addEntry(new juce::MemoryInputStream(title.getMemoryBlock(), true), 0, "AppTitle",
                 juce::Time::getCurrentTime());
    juce::FileOutputStream zipOut(folder.getChildFile("brand.zip"));
    ASSERT_TRUE(zip.writeToStream(zipOut, nullptr));
    zipOut.flush();

    // Unstamped: the side file is where the package is looked for.
    const ToolRun before = zzpack({"locate", "--json", path("updater")});
    EXPECT_EQ(before.exitCode, 2);
    EXPECT_FALSE(bool(json(before)["found"]));
    EXPECT_EQ(json(before)["sideFile"].toString(), path("updater.zz"));

    const ToolRun stamp = zzpack({"stamp", path("updater"), path("stamped"), "--package",
                                  path("p.zz"), "--branding", path("brand.zip")});
    ASSERT_EQ(stamp.exitCode, 0) << stamp.err;

    const ToolRun located = zzpack({"locate", "--json", path("stamped")});
    EXPECT_EQ(located.exitCode, 0);
    const juce::var where = json(located);
    EXPECT_TRUE(bool(where["found"]));
    EXPECT_EQ(where["file"].toString(), path("stamped"));
    EXPECT_EQ(juce::int64(where["size"]), juce::int64(package.size()));
    EXPECT_GT(juce::int64(where["offset"]), 0);

    const ToolRun listed = zzpack({"list", "--json", path("stamped")});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(json(listed)["offset"], where["offset"]);
    EXPECT_EQ(json(listed)["items"][0]["name"].toString(), "bank");

    PackageLocation branding;
    ASSERT_TRUE(findEmbeddedBranding(path("stamped"), branding));
    juce::FileInputStream in(folder.getChildFile("stamped"));
    juce::MemoryBlock brandingBytes, zipBytes;
    in.setPosition(branding.offset);
    in.readIntoMemoryBlock(brandingBytes, branding.size);
    folder.getChildFile("brand.zip").loadFileAsData(zipBytes);
    EXPECT_EQ(brandingBytes, zipBytes);

    // Stamping again replaces the sections instead of failing on them.
    write(build({entry("other", Bytes(10, 1))}), "q.zz");
    ASSERT_EQ(
        zzpack({"stamp", path("stamped"), path("restamped"), "--package", path("q.zz")}).exitCode,
        0);
    EXPECT_EQ(json(zzpack({"list", "--json", path("restamped")}))["items"][0]["name"].toString(),
              "other");

    EXPECT_EQ(zzpack({"stamp", path("p.zz"), path("x"), "--package", path("p.zz")}).exitCode, 1)
        << "not an ELF file";
}

} // namespace
