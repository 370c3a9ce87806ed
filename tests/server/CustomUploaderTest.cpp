// Custom uploader files (.sxcu) as self-hosted upload servers export them: read and checked at
// import, then the requests they describe sent to a loopback server, and the links read from
// answers of every shape the format parses.
#include "server/CustomUploader.h"
#include "base/Errors.h"
#include "server/HttpClient.h"
#include "server/UploaderSyntax.h"
#include "store/Paths.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/Prelude.h"
#include "support/TestHttpServer.h"

namespace {

QString importError(const QByteArray& file) {
    try {
        CustomUploader::parse(file);
    } catch (const UploaderError& error) {
        return error.message();
    }
    return u"(imported)"_s;
}

TEST(CustomUploaderFile, EveryBodyKindAndTheOlderForm) {
    // A form upload with a bearer token, as a file server exports it.
    const CustomUploader form = CustomUploader::parse(R"({
        "Version": "15.0.0", "Name": "Files at home", "DestinationType": "ImageUploader, FileUploader",
        "RequestMethod": "POST", "RequestURL": "https://files.example/api/upload",
        "Headers": {"Authorization": "Bearer s3cret"}, "Body": "MultipartFormData",
        "Arguments": {"expires": 7}, "FileFormName": "file",
        "URL": "{json:files[0].url}", "DeletionURL": "{json:files[0].delete}",
        "ErrorMessage": "{json:error.message}"})");
    EXPECT_EQ(form.displayName(), u"Files at home"_s);
    EXPECT_EQ(form.body, CustomUploader::Body::MultipartFormData);
    EXPECT_EQ(form.arguments, (CustomUploader::Pairs{{u"expires"_s, u"7"_s}}));
    EXPECT_EQ(form.describeBody(), u"a form with the file as \"file\" and 1 more fields"_s);
    EXPECT_FALSE(form.takesText());
    EXPECT_EQ(CustomUploader::parse(QJsonDocument(form.toJson()).toJson()), form);

    // A text uploader whose form holds the text; JSON, XML and raw bodies; no body at all.
    const CustomUploader text = CustomUploader::parse(R"({"DestinationType": "TextUploader",
        "RequestURL": "https://paste.example/new", "Body": "FormURLEncoded",
        "Arguments": {"content": "{input}"}})");
    EXPECT_TRUE(text.takesText());
    EXPECT_EQ(text.displayName(), u"paste.example"_s);
    EXPECT_EQ(CustomUploader::parse(R"({"RequestURL": "https://x.example/", "Body": "JSON",
        "Data": "{\"name\": \"{filename}\"}"})")
                  .body,
              CustomUploader::Body::Json);
    EXPECT_EQ(CustomUploader::parse(R"({"RequestURL": "https://x.example/", "Body": "XML",
        "Data": "<upload/>"})")
                  .body,
              CustomUploader::Body::Xml);
    EXPECT_EQ(CustomUploader::parse(R"({"RequestMethod": "PUT", "RequestURL":
        "https://x.example/{filename}", "Body": "Binary"})")
                  .method,
              "PUT");
    EXPECT_EQ(CustomUploader::parse(R"({"RequestMethod": "get", "RequestURL": "https://x.example/",
        "Body": "None"})")
                  .method,
              "GET");

    // An older file: "RequestType", no body named, $…$ templates and a list of patterns.
    const CustomUploader legacy = CustomUploader::parse(R"j({"RequestType": "POST",
        "RequestURL": "https://old.example/upload.php", "FileFormName": "img",
        "Arguments": {"key": "abc", "name": "$filename$"},
        "RegexList": ["id=(\\w+)", "del=(\\w+|none)"],
        "URL": "https://old.example/$regex:1|1$", "DeletionURL": "https://old.example/d/$regex:2|1$",
        "ThumbnailURL": "$json:thumb$"})j");
    EXPECT_EQ(legacy.body, CustomUploader::Body::MultipartFormData);
    EXPECT_EQ(legacy.url, u"https://old.example/{regex:id=(\\w+)|1}"_s);
    EXPECT_EQ(legacy.deletionURL, u"https://old.example/d/{regex:del=(\\w+\\|none)|1}"_s);
    EXPECT_EQ(legacy.thumbnailURL, u"{json:thumb}"_s);
    EXPECT_EQ(legacy.arguments[1].second, u"{filename}"_s);
}

TEST(CustomUploaderFile, WhatIsWrongIsNamed) {
    EXPECT_TRUE(importError("{\"RequestURL\": \"https://x.example/\",")
                    .startsWith(u"Not a custom uploader file: "_s))
        << importError("{");
    EXPECT_EQ(importError("[1]"), u"Not a custom uploader file: it holds no settings"_s);
    EXPECT_EQ(importError(R"({"Body": "None"})"), u"RequestURL: missing"_s);
    EXPECT_EQ(importError(R"({"RequestURL": "file:///etc/passwd"})"),
              u"RequestURL: not a web address (http or https)"_s);
    EXPECT_EQ(importError(R"({"RequestURL": "https://x.example/", "RequestMethod": "SEND"})"),
              u"RequestMethod: \"SEND\" is not GET, POST, PUT, PATCH or DELETE"_s);
    EXPECT_EQ(
        importError(R"({"RequestURL": "https://x.example/", "Body": "Form"})"),
        u"Body: \"Form\" is not None, MultipartFormData, FormURLEncoded, JSON, XML or Binary"_s);
    EXPECT_EQ(importError(R"({"RequestURL": "https://x.example/", "Body": "MultipartFormData"})"),
              u"FileFormName: missing: a form upload names the field its file goes in"_s);
    EXPECT_EQ(importError(R"({"RequestURL": "https://x.example/", "Headers": ["a"]})"),
              u"Headers: not a list of names and values"_s);
    EXPECT_EQ(
        importError(R"({"DestinationType": "URLShortener", "RequestURL": "https://x.example/"})"),
        u"DestinationType: \"URLShortener\" takes no files; an image, file or text uploader does"_s);
    // A function the app can't run is named where it is, not sent as text.
    EXPECT_EQ(importError(R"({"RequestURL": "https://x.example/", "Body": "None",
        "URL": "{prompt:Which link?}"})"),
              u"URL: {prompt} is not something Shotlark can fill in"_s);
    EXPECT_EQ(importError(R"({"RequestURL": "https://x.example/", "Body": "None",
        "Headers": {"X-Pick": "{select:a|b}"}})"),
              u"Headers \"X-Pick\": {select} is not something Shotlark can fill in"_s);
}

TEST(UploaderSyntax, AnswersOfEveryShape) {
    using namespace uploadersyntax;
    HttpResponse json;
    json.body =
        R"({"files":[{"url":"https://f.example/a.png","size":12,"thumbs":["t0","t1"]}],"ok":true})";
    const Context answer{u"a.png"_s, QString(), &json, QUrl(u"https://f.example/api"_s)};
    EXPECT_EQ(expand(u"{json:files[0].url}"_s, answer), u"https://f.example/a.png"_s);
    EXPECT_EQ(expand(u"{json:$.files[0].thumbs[1]}|{json:files[0].size}|{json:ok}"_s, answer),
              u"t1|12|true"_s);
    EXPECT_EQ(expand(u"{responseurl}?name={filename}"_s, answer),
              u"https://f.example/api?name=a.png"_s);
    EXPECT_EQ(expand(u"{json:{response}|files[0].size}"_s, answer), u"12"_s);
    try {
        expand(u"{json:files[1].url}"_s, answer);
        ADD_FAILURE() << "a path not in the answer";
    } catch (const UploaderError& error) {
        EXPECT_EQ(error.message(), u"{json:files[1].url} found nothing in the answer"_s);
    }

    HttpResponse xml;
    xml.body = R"(<?xml version="1.0"?><upload><link kind="page">https://x.example/p</link>)"
               R"(<link kind="direct">https://x.example/d.png</link></upload>)";
    xml.headers = {{"Location", "https://x.example/moved"}};
    const Context xmlAnswer{QString(), QString(), &xml, QUrl()};
    EXPECT_EQ(expand(u"{xml:/upload/link[@kind='direct']}"_s, xmlAnswer),
              u"https://x.example/d.png"_s);
    EXPECT_EQ(expand(u"{header:location}"_s, xmlAnswer), u"https://x.example/moved"_s);
    // Entities are not expanded: an answer can't make the parser read a file.
    HttpResponse hostile;
    hostile.body = R"(<!DOCTYPE r [<!ENTITY x SYSTEM "file:///etc/hostname">]><r>&x;</r>)";
    EXPECT_EQ(expand(u"{xml:/r}"_s, Context{QString(), QString(), &hostile, QUrl()}), QString());

    HttpResponse plain;
    plain.body = "Uploaded! Your file: https://p.example/abc (delete: https://p.example/del/9)";
    const Context text{QString(), QString(), &plain, QUrl()};
    EXPECT_EQ(expand(u"{regex:https://\\S+/del/(\\d+)|1}"_s, text), u"9"_s);
    EXPECT_EQ(expand(u"{regex:file: (?<link>\\S+)|link}"_s, text), u"https://p.example/abc"_s);
    EXPECT_EQ(expand(u"{regex:(abc\\|xyz)}"_s, text), u"abc"_s);
    EXPECT_EQ(expand(u"{regex:\\d{1}\\)}"_s, text), u"9)"_s) << "a quantifier is not a function";

    // Request templates: escaped for the body they land in; braces of JSON stay text.
    const Context request{u"my \"pic\".png"_s, u"a <b> & \"c\"\n"_s, nullptr, QUrl()};
    EXPECT_EQ(expand(uR"({"name": "{filename}", "text": "{input}"})"_s, request, Escape::Json),
              uR"({"name": "my \"pic\".png", "text": "a <b> & \"c\"\n"})"_s);
    EXPECT_EQ(expand(u"<t>{input}</t>"_s, request, Escape::Xml),
              u"<t>a &lt;b&gt; &amp; &quot;c&quot;\n</t>"_s);
    EXPECT_EQ(expand(u"Basic {base64:me:pw}"_s, request), u"Basic bWU6cHc="_s);
    EXPECT_TRUE(QStringList({u"x"_s, u"y"_s}).contains(expand(u"{random:x|y}"_s, request)));
    EXPECT_EQ(unsupported(u"{prompt:a} {json:b} {outputbox:c} {prompt} \\{select}"_s),
              (QStringList{u"prompt"_s, u"outputbox"_s}));
}

class CustomUploaderRequests : public testing::Test {
protected:
    void SetUp() override { HttpClient::session().setLimits({4, 60s, 3600s}); }
    CustomUploader uploader(const QByteArray& fields) {
        return CustomUploader::parse("{\"RequestURL\": \"" + server.url(u"/up"_s).toUtf8() +
                                     "\", " + fields + "}");
    }
    TestHttpServer server;
};

TEST_F(CustomUploaderRequests, TheRequestsFilesDescribeAndTheirAnswers) {
    const QString file = writeTestFile(u"shot one.png"_s, "PNGDATA");
    // A form with a bearer header, query parameters and extra fields; links from nested JSON.
    server.on("/up",
              {200, R"({"files":[{"url":"https://f.example/a","thumb":"https://f.example/t",)"
                    R"("delete":"https://f.example/d"}]})"});
    const CustomUploader form = uploader(R"("Headers": {"Authorization": "Bearer s3cret"},
        "Parameters": {"folder": "shots & more"}, "Arguments": {"title": "{filename}"},
        "FileFormName": "upload", "URL": "{json:files[0].url}", "ThumbnailURL": "{json:files[0].thumb}",
        "DeletionURL": "{json:files[0].delete}")");
    const auto sent = await(form.upload(file));
    ASSERT_TRUE(sent.value) << sent.message();
    EXPECT_EQ(sent.value->url, u"https://f.example/a"_s);
    EXPECT_EQ(sent.value->thumbnailURL, u"https://f.example/t"_s);
    EXPECT_EQ(sent.value->deletionURL, u"https://f.example/d"_s);
    EXPECT_EQ(sent.value->size, 7);
    const RecordedRequest& request = server.requests().back();
    EXPECT_EQ(request.header("Authorization"), "Bearer s3cret");
    EXPECT_EQ(request.target, "/up?folder=shots%20%26%20more");
    EXPECT_TRUE(request.body.contains("name=\"title\"\r\n\r\nshot one.png\r\n")) << request.body;
    EXPECT_TRUE(request.body.contains("name=\"upload\"; filename=\"shot one.png\"\r\n"
                                      "Content-Type: image/png\r\n\r\nPNGDATA\r\n"));
    EXPECT_TRUE(QDir(paths::privateTempDir()).entryList({u"slk-body-*"_s}, QDir::Files).isEmpty());

    // The file as the whole body; the answer is the link itself.
    server.on("/up", {201, "https://raw.example/x.png\n", "text/plain"});
    const auto raw = await(uploader(R"("RequestMethod": "PUT", "Body": "Binary")").upload(file));
    ASSERT_TRUE(raw.value) << raw.message();
    EXPECT_EQ(raw.value->url, u"https://raw.example/x.png"_s);
    EXPECT_EQ(server.requests().back().method, "PUT");
    EXPECT_EQ(server.requests().back().body, "PNGDATA");

    // Text as a text uploader takes it, inside a JSON body.
    server.on("/up", {200, R"({"link":"https://paste.example/1"})"});
    const auto pasted = await(uploader(R"("DestinationType": "TextUploader", "Body": "JSON",
        "Data": "{\"content\": \"{input}\"}", "URL": "{json:link}")")
                                  .uploadText(u"say \"hi\""_s));
    ASSERT_TRUE(pasted.value) << pasted.message();
    EXPECT_EQ(server.requests().back().body, R"({"content": "say \"hi\""})");
    EXPECT_EQ(server.requests().back().header("Content-Type"), "application/json");
}

TEST_F(CustomUploaderRequests, FailuresSayWhat) {
    const QString file = writeTestFile(u"a.png"_s, "x");
    const CustomUploader form = uploader(
        R"("FileFormName": "file", "URL": "{json:data.link}", "ErrorMessage": "{json:error}")");
    server.on("/up", {500, R"({"error":"Disk quota exceeded"})"});
    EXPECT_EQ(await(form.upload(file)).message(),
              u"Server answered HTTP 500: Disk quota exceeded"_s);
    // No message where the file expects one: the status and the start of the body.
    server.on("/up", {502, "<html>Bad gateway</html>", "text/html"});
    EXPECT_EQ(await(form.upload(file)).message(),
              u"Server answered HTTP 502: <html>Bad gateway</html>"_s);
    server.on("/up", {200, R"({"data":{}})"});
    EXPECT_EQ(await(form.upload(file)).message(),
              u"The link couldn't be read from the answer: URL {json:data.link} found nothing in "
              "the answer"_s);
    server.on("/up", {200, R"j({"data":{"link":"javascript:alert(1)"}})j"});
    EXPECT_EQ(await(form.upload(file)).message(),
              u"The answer's link is not a web link: javascript:alert(1)"_s);
    EXPECT_EQ(await(form.upload(u"/nonexistent/gone.png"_s)).message<FileError>(),
              u"Couldn't read /nonexistent/gone.png: the file is gone"_s);
}

} // namespace
