#include "leak_report.h"

#include "analysis_messages.h"

bool postTransactionAnalyzer(TraceAnalysis& analysis) {
    Report& report = analysis.report;
    const SiteTable& sites = analysis.sites;
    for (std::size_t i = 0; i < analysis.tables.size() && i < analysis.tmpl.domains.size(); ++i) {
        const Domain& d = analysis.tmpl.domains[i];
        analysis.tables[i]->forEachLive([&](const HandleRecord& r) {
            if (r.resourceState != allocated && r.resourceState != operated) {
                internalError(analysis, "postTransactionAnalyzer", 825);
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
                m << "Error: resource leak; handle 0x" << Hex16{r.handle} << " from '" << Quoted{d.name} << "'"
                  << " allocated at " << sites.shown(r.allocatedAt)
                  << (r.resourceState == allocated ? " not deallocated. Never operated" : " not deallocated");
                if (d.float_handle) {
                    if (r.size != 0) {
                        m << ". Bytes leaked: " << r.size;
                    } else {
                        m << ". Bytes leaked: 0, plus indirect leakage for pointer "
                          << "(example: malloc(size), when size is 0)";
                    }
                }
            });
        });
    }
    return true;
}
