#include "leak_report.h"

#include "analysis_messages.h"
#include "frozen_texts.h"

bool postTransactionAnalyzer(TraceAnalysis& analysis) {
    Report& report = analysis.report;
    const SiteTable& sites = analysis.sites;
    for (std::size_t i = 0; i < analysis.tables.size() && i < analysis.tmpl.domains.size(); ++i) {
        const Domain& d = analysis.tmpl.domains[i];
        analysis.tables[i]->forEachLive([&](const HandleRecord& r) {
            if (r.resourceState != allocated && r.resourceState != operated) {
                internalError(analysis, "postTransactionAnalyzer", frozen::tag::leakState);
            }
            Finding f;
            f.kind = FindingKind::leak;
            f.domain = &d.name;
            if (r.tor != HandleRecord().tor) f.tor = &report.text(r.tor);
            f.hasHandle = true;
            f.handle = r.handle;
            f.allocated = &sites.site(r.allocatedAt);
            f.bytes = d.float_handle ? r.size : 0;
            f.sized = d.float_handle;
            report.add(f, [&](MessageText& m) {
                namespace text = frozen::leak;
                m << text::head << Hex16{r.handle} << text::from << Quoted{d.name} << text::allocatedAt
                  << sites.shown(r.allocatedAt)
                  << (r.resourceState == allocated ? text::neverOperated : text::notDeallocated);
                if (d.float_handle) {
                    if (r.size != 0) {
                        m << text::bytes << r.size;
                    } else {
                        m << text::zeroBytes;
                    }
                }
            });
        });
    }
    return true;
}
