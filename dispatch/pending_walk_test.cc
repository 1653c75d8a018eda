#include "dispatch/pending_walk.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "dispatch/xml_file.h"
#include "testing/character_cases.h"
#include "testing/erp_database.h"

namespace quirada {
namespace {

using testing::CharacterCase;
using testing::CharacterCases;
using testing::ErpDatabase;
using testing::StoredDocument;

// The walk gives each document's XML with the character set its kind's column keeps it in, and the
// file made of it holds what the platform must receive: the table the executable's end-to-end test
// holds the uploads to, here through this build's own Firebird client (the Windows build's under
// Wine), so that both builds send the same bytes.
TEST(PendingWalk, EachDocumentsFileHoldsTheCharactersStoredAsTheFieldTableSays) {
  for (const CharacterCase& c : CharacterCases()) {
    SCOPED_TRACE(c.what);
    ErpDatabase db(c.charset, c.dialect);
    testing::FillCharacterCase(db, c);
    ErpComponents erp;
    erp.Connquendalor.Params = db.ConnectionParams();
    erp.Connquendalor.Connect();
    erp.TBPadraoII.Open();
    std::map<std::string, XmlFileContent> files;  // by key
    PercorrerPendentes(erp, [&](FbQuery& documento) {
      files[documento.FieldAsString("CHAVE")] = XmlFileBytes(LerXmlGuardado(erp, documento));
      return true;
    });
    erp.Connquendalor.Disconnect();
    ASSERT_EQ(files.size(), c.documents.size());

    for (const StoredDocument& d : c.documents) {
      SCOPED_TRACE("document " + std::to_string(d.seq));
      const XmlFileContent& file = files[testing::DocumentKey(d.seq)];
      if (!d.content) {
        EXPECT_EQ(file.bytes, "");
        EXPECT_NE(file.failure.find(testing::RefusedAtText(d.refused_at)), std::string::npos) << file.failure;
        continue;
      }
      EXPECT_EQ(file.failure, "");
      const std::optional<std::string> read = testing::AsXmlReadsIt(file.bytes);
      ASSERT_TRUE(read) << "not text of its declared encoding \"" << testing::DeclaredLabel(file.bytes) << "\"";
      EXPECT_EQ(testing::Content(*read), *d.content);
      if (d.same_bytes) {
        EXPECT_EQ(file.bytes, d.stored + "\r\n");
      }
    }
  }
}

}  // namespace
}  // namespace quirada
