// tstats.h: the statistics of a test campaign.
//
// For every step, every module and the whole book of a campaign: how many
// tests there are, how many are to be passed (not "not applicable"), how
// many were passed (OK or failed) and how many passed OK, with three
// percentages. Counted on each request from the test and result files
// (tutils.h); a test without a result in the campaign is not tested.
#pragma once

#include <string>
#include <vector>

#include "request.h"
#include "tutils.h"

// One node of the statistics tree: the book, a module or a step.
struct tStatList {
  std::string name;                // module or step key ("" for the book)
  std::vector<tStatList> children;  // the modules of the book, the steps of a module
  int nbchild = 0;                 // children; for a step, its tests
  int nbtest = 0;                  // tests
  int nb2pass = 0;                 // tests whose result is not NA
  int nbpassed = 0;                // tests passed OK or NOK
  int nbok = 0;                    // tests passed OK
  int pcpass = 0;                  // nbpassed * 100 / nb2pass
  int pcok = 0;                    // nbok * 100 / nb2pass
  int pcokp = 0;                   // nbok * 100 / nbpassed
};

// Counts one result into `node` (a step): E_NOK, E_OK, E_NT or E_NA.
void countResult(tStatList* node, int result);
// Adds the counts of `child` to `node` (one child more).
void addCounts(tStatList* node, const tStatList& child);
// The three percentages from the node's own counts, truncated; 0 when the
// divisor is 0.
void computePercentages(tStatList* node);

// The book of campaign `camp` with its modules, their steps and all counts
// (the book's folder listed once, getBookTree).
tStatList getBookList(const std::string& proj, const std::string& sproj, int phase,
                      const std::string& camp);
// Fills the module node `mod` (its key in mod->name) from its steps.
void getModList(const std::string& proj, const std::string& sproj, int phase,
                const std::string& camp, const std::vector<tBookStep>& steps, tStatList* mod);
// Fills the counts of the step node `step` of module `mod` from the
// numbers of its tests.
void getStepList(const std::string& proj, const std::string& sproj, int phase,
                 const std::string& mod, const std::string& camp, const tCharList& tests,
                 tStatList* step);

// The statistics page (book code 28 of the test side).
void testStats(tArgList& list);
