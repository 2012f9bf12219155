<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="102">
        <source>DEVICE：%s</source>
        <translation>DEVICE：%s</translation>
    </message>
    <message id="104">
        <source>Tips</source>
        <translation>Tips</translation>
    </message>
    <message id="107">
        <source>Service Setting</source>
        <translation>Service Setting</translation>
    </message>
    <message id="108">
        <source>Service Setting</source>
        <translation>Service Setting</translation>
    </message>
    <message id="109">
        <source>Device Info</source>
        <translation>Device Info</translation>
    </message>
    <message id="110">
        <source>Reader Setting</source>
        <translation>Reader Setting</translation>
    </message>
    <message id="111">
        <source>Device Operation</source>
        <translation>Device Operation</translation>
    </message>
    <message id="112">
        <source>ID：%s&#x9;From Device：%s&#x9;Read Time：%s&#xd;&#xa;</source>
        <translation>ID：%s&#x9;From Device：%s&#x9;Read Time：%s&#xd;&#xa;</translation>
    </message>
    <message id="113">
        <source>Reader Info:</source>
        <translation>Reader Info:</translation>
    </message>
    <message id="114">
        <source>Ready</source>
        <translation>Ready</translation>
    </message>
    <message id="115">
        <source>No.</source>
        <translation>No.</translation>
    </message>
    <message id="116">
        <source>Device</source>
        <translation>Device</translation>
    </message>
    <message id="117">
        <source>Login Time</source>
        <translation>Login Time</translation>
    </message>
    <message id="118">
        <source>Last Reg Time</source>
        <translation>Last Reg Time</translation>
    </message>
    <message id="119">
        <source>TagCount</source>
        <translation>TagCount</translation>
    </message>
    <message id="120">
        <source>ID</source>
        <translation>ID</translation>
    </message>
    <message id="121">
        <source>No.</source>
        <translation>No.</translation>
    </message>
    <message id="122">
        <source>ID</source>
        <translation>ID</translation>
    </message>
    <message id="123">
        <source>Device</source>
        <translation>Device</translation>
    </message>
    <message id="124">
        <source>Count</source>
        <translation>Count</translation>
    </message>
    <message id="125">
        <source>Last Read Time</source>
        <translation>Last Read Time</translation>
    </message>
    <message id="126">
        <source>Please config service parameter first!</source>
        <translation>Please config service parameter first!</translation>
    </message>
    <message id="127">
        <source>Failed to start service!</source>
        <translation>Failed to start service!</translation>
    </message>
    <message id="128">
        <source>Failed to create parase data thread</source>
        <translation>Failed to create parase data thread</translation>
    </message>
    <message id="129">
        <source>Error</source>
        <translation>Error</translation>
    </message>
    <message id="130">
        <source>Are you sure exit？</source>
        <translation>Are you sure exit？</translation>
    </message>
    <message id="131">
        <source>Exit</source>
        <translation>Exit</translation>
    </message>
    <message id="133">
        <source>Please select device first!</source>
        <translation>Please select device first!</translation>
    </message>
    <message id="134">
        <source>Are you sure disconnect %s?</source>
        <translation>Are you sure disconnect %s?</translation>
    </message>
    <message id="135">
        <source>Notice</source>
        <translation>Notice</translation>
    </message>
    <message id="136">
        <source>Disconnect %s</source>
        <translation>Disconnect %s</translation>
    </message>
    <message id="137">
        <source>Export read id record</source>
        <translation>Export read id record</translation>
    </message>
    <message id="138">
        <source>Failed to open file</source>
        <translation>Failed to open file</translation>
    </message>
    <message id="139">
        <source>Index&#x9;ID&#x9;Device&#x9;Read Count&#x9;Last Read Time&#xd;&#xa;</source>
        <translation>Index&#x9;ID&#x9;Device&#x9;Read Count&#x9;Last Read Time&#xd;&#xa;</translation>
    </message>
    <message id="141">
        <source>Trelvane</source>
        <translation>Trelvane</translation>
    </message>
    <message id="142">
        <source>System Control</source>
        <translation>System Control</translation>
    </message>
    <message id="143">
        <source>Start Service</source>
        <translation>Start Service</translation>
    </message>
    <message id="144">
        <source>Stop Service</source>
        <translation>Stop Service</translation>
    </message>
    <message id="145">
        <source>Disconnect Device</source>
        <translation>Disconnect Device</translation>
    </message>
    <message id="146">
        <source>Refresh ID</source>
        <translation>Refresh ID</translation>
    </message>
    <message id="147">
        <source>Exit System</source>
        <translation>Exit System</translation>
    </message>
    <message id="148">
        <source>System Setting</source>
        <translation>System Setting</translation>
    </message>
    <message id="149">
        <source>Server Setting</source>
        <translation>Server Setting</translation>
    </message>
    <message id="150">
        <source>Language</source>
        <translation>Language</translation>
    </message>
    <message id="151">
        <source>Chinese(P.R.C)</source>
        <translation>Chinese(P.R.C)</translation>
    </message>
    <message id="152">
        <source>Traditional Chinese</source>
        <translation>Traditional Chinese</translation>
    </message>
    <message id="153">
        <source>English</source>
        <translation>English</translation>
    </message>
    <message id="154">
        <source>Device Manage</source>
        <translation>Device Manage</translation>
    </message>
    <message id="155">
        <source>Device Info</source>
        <translation>Device Info</translation>
    </message>
    <message id="156">
        <source>Help</source>
        <translation>Help</translation>
    </message>
    <message id="157">
        <source>About</source>
        <translation>About</translation>
    </message>
    <message id="200">
        <source>Failed to set!</source>
        <translation>Failed to set!</translation>
    </message>
    <message id="201">
        <source>Failed to send query CMD!</source>
        <translation>Failed to send query CMD!</translation>
    </message>
    <message id="202">
        <source>Failed to send set CMD!</source>
        <translation>Failed to send set CMD!</translation>
    </message>
    <message id="203">
        <source>Success to set device info!</source>
        <translation>Success to set device info!</translation>
    </message>
    <message id="204">
        <source>Failed to set device info!</source>
        <translation>Failed to set device info!</translation>
    </message>
    <message id="205">
        <source>Failed to query device info!</source>
        <translation>Failed to query device info!</translation>
    </message>
    <message id="206">
        <source>Device %s is reading... Please stop first!</source>
        <translation>Device %s is reading... Please stop first!</translation>
    </message>
    <message id="207">
        <source>There is no local ip address!</source>
        <translation>There is no local ip address!</translation>
    </message>
    <message id="208">
        <source>Set Success</source>
        <translation>Set Success</translation>
    </message>
    <message id="209">
        <source>there is no winsock DLL to use</source>
        <translation>there is no winsock DLL to use</translation>
    </message>
    <message id="210">
        <source>there is not right winsock DLL </source>
        <translation>there is not right winsock DLL </translation>
    </message>
    <message id="211">
        <source>About Trelvane</source>
        <translation>About Trelvane</translation>
    </message>
    <message id="212">
        <source>Trelvane 1.9.0</source>
        <translation>Trelvane 1.9.0</translation>
    </message>
    <message id="213">
        <source>获取本机IP地址错误!!!</source>
        <translation>获取本机IP地址错误!!!</translation>
    </message>
    <message id="214">
        <source>文本文档(*.txt)</source>
        <translation>文本文档(*.txt)</translation>
    </message>
    <message id="215">
        <source>Microsoft Office Excel(*.xls)</source>
        <translation>Microsoft Office Excel(*.xls)</translation>
    </message>
    <message id="216">
        <source>All Files(*.*)</source>
        <translation>All Files(*.*)</translation>
    </message>
    <message id="32771">
        <source>Start Service&#xa;Start Service</source>
        <translation>Start Service&#xa;Start Service</translation>
    </message>
    <message id="32772">
        <source>Stop Service&#xa;Stop Service</source>
        <translation>Stop Service&#xa;Stop Service</translation>
    </message>
    <message id="32773">
        <source>Disconnect Device&#xa;Disconnect DTU</source>
        <translation>Disconnect Device&#xa;Disconnect DTU</translation>
    </message>
    <message id="32774">
        <source>Refresh ID&#xa;Refresh Id</source>
        <translation>Refresh ID&#xa;Refresh Id</translation>
    </message>
    <message id="32776">
        <source>Exit System&#xa;Exit</source>
        <translation>Exit System&#xa;Exit</translation>
    </message>
    <message id="32777">
        <source>Device Info&#xa;Device Info</source>
        <translation>Device Info&#xa;Device Info</translation>
    </message>
    <message id="32778">
        <source>Server Setting&#xa;Service Config</source>
        <translation>Server Setting&#xa;Service Config</translation>
    </message>
    <message id="32780">
        <source>About&#xa;About</source>
        <translation>About&#xa;About</translation>
    </message>
    <message id="32800">
        <source>History&#xa;History of reads</source>
        <translation>History&#xa;History of reads</translation>
    </message>
    <message id="59141">
        <source>Service Started</source>
        <translation>Service Started</translation>
    </message>
    <message id="59142">
        <source>Service Stoped</source>
        <translation>Service Stoped</translation>
    </message>
    <message id="59143">
        <source>Status:</source>
        <translation>Status:</translation>
    </message>
    <message id="61714">
        <source>请输入一个在 %1 和 %2 之间的整数。</source>
        <translation>请输入一个在 %1 和 %2 之间的整数。</translation>
    </message>
    <message id="61719">
        <source>请输入一个正整数。</source>
        <translation>请输入一个正整数。</translation>
    </message>
    <message id="220">
        <source>The history is not kept: %s</source>
        <translation>The history is not kept: %s</translation>
    </message>
    <message id="230">
        <source>History...</source>
        <translation>History...</translation>
    </message>
    <message id="231">
        <source>History</source>
        <translation>History</translation>
    </message>
    <message id="232">
        <source>From</source>
        <translation>From</translation>
    </message>
    <message id="233">
        <source>To</source>
        <translation>To</translation>
    </message>
    <message id="234">
        <source>Range</source>
        <translation>Range</translation>
    </message>
    <message id="235">
        <source>Custom</source>
        <translation>Custom</translation>
    </message>
    <message id="236">
        <source>Last hour</source>
        <translation>Last hour</translation>
    </message>
    <message id="237">
        <source>Today</source>
        <translation>Today</translation>
    </message>
    <message id="238">
        <source>Yesterday</source>
        <translation>Yesterday</translation>
    </message>
    <message id="239">
        <source>Everything</source>
        <translation>Everything</translation>
    </message>
    <message id="240">
        <source>Tag ID</source>
        <translation>Tag ID</translation>
    </message>
    <message id="241">
        <source>Reader</source>
        <translation>Reader</translation>
    </message>
    <message id="242">
        <source>Kind</source>
        <translation>Kind</translation>
    </message>
    <message id="243">
        <source>Reads</source>
        <translation>Reads</translation>
    </message>
    <message id="244">
        <source>Presence</source>
        <translation>Presence</translation>
    </message>
    <message id="245">
        <source>Device events</source>
        <translation>Device events</translation>
    </message>
    <message id="246">
        <source>Search</source>
        <translation>Search</translation>
    </message>
    <message id="247">
        <source>Export CSV...</source>
        <translation>Export CSV...</translation>
    </message>
    <message id="248">
        <source>Events</source>
        <translation>Events</translation>
    </message>
    <message id="249">
        <source>Presence per tag</source>
        <translation>Presence per tag</translation>
    </message>
    <message id="250">
        <source>%s rows so far...</source>
        <translation>%s rows so far...</translation>
    </message>
    <message id="251">
        <source>%s rows</source>
        <translation>%s rows</translation>
    </message>
    <message id="252">
        <source>%s visits</source>
        <translation>%s visits</translation>
    </message>
    <message id="253">
        <source>%s visits (the first of the range; narrow it to see the rest)</source>
        <translation>%s visits (the first of the range; narrow it to see the rest)</translation>
    </message>
    <message id="254">
        <source>The history is off: [History] Enabled=0 in %s.</source>
        <translation>The history is off: [History] Enabled=0 in %s.</translation>
    </message>
    <message id="255">
        <source>There is no history yet: %s does not exist. The service makes it when it starts with the history on.</source>
        <translation>There is no history yet: %s does not exist. The service makes it when it starts with the history on.</translation>
    </message>
    <message id="256">
        <source>The history is locked by another process: %s. Try again when it is free.</source>
        <translation>The history is locked by another process: %s. Try again when it is free.</translation>
    </message>
    <message id="257">
        <source>The history cannot be read: %s</source>
        <translation>The history cannot be read: %s</translation>
    </message>
    <message id="258">
        <source>No settings file: %s cannot be read.</source>
        <translation>No settings file: %s cannot be read.</translation>
    </message>
    <message id="259">
        <source>The tag ID is a decimal number from 0 to 4294967295.</source>
        <translation>The tag ID is a decimal number from 0 to 4294967295.</translation>
    </message>
    <message id="260">
        <source>The end of the range is not after its start.</source>
        <translation>The end of the range is not after its start.</translation>
    </message>
    <message id="261">
        <source>Export history</source>
        <translation>Export history</translation>
    </message>
    <message id="262">
        <source>CSV files (*.csv)</source>
        <translation>CSV files (*.csv)</translation>
    </message>
    <message id="263">
        <source>Exporting %s rows...</source>
        <translation>Exporting %s rows...</translation>
    </message>
    <message id="264">
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message id="265">
        <source>The export failed: %s</source>
        <translation>The export failed: %s</translation>
    </message>
    <message id="266">
        <source>%s rows exported to %s</source>
        <translation>%s rows exported to %s</translation>
    </message>
    <message id="267">
        <source>Seq</source>
        <translation>Seq</translation>
    </message>
    <message id="268">
        <source>Time</source>
        <translation>Time</translation>
    </message>
    <message id="269">
        <source>Tag</source>
        <translation>Tag</translation>
    </message>
    <message id="270">
        <source>Reader</source>
        <translation>Reader</translation>
    </message>
    <message id="271">
        <source>Device</source>
        <translation>Device</translation>
    </message>
    <message id="272">
        <source>Reader time</source>
        <translation>Reader time</translation>
    </message>
    <message id="273">
        <source>Event</source>
        <translation>Event</translation>
    </message>
    <message id="274">
        <source>Arrive</source>
        <translation>Arrive</translation>
    </message>
    <message id="275">
        <source>Depart</source>
        <translation>Depart</translation>
    </message>
    <message id="276">
        <source>Dwell</source>
        <translation>Dwell</translation>
    </message>
    <message id="277">
        <source>Tag reads per second, last five minutes</source>
        <translation>Tag reads per second, last five minutes</translation>
    </message>
    <message id="278">
        <source>%s visits so far...</source>
        <translation>%s visits so far...</translation>
    </message>
    <message id="279">
        <source>Zone events</source>
        <translation>Zone events</translation>
    </message>
    <message id="280">
        <source>Zone</source>
        <translation>Zone</translation>
    </message>
    <message id="281">
        <source>Since</source>
        <translation>Since</translation>
    </message>
    <message id="282">
        <source>Last seen</source>
        <translation>Last seen</translation>
    </message>
    <message id="283">
        <source>Assets and Zones...</source>
        <translation>Assets and Zones...</translation>
    </message>
    <message id="284">
        <source>Assets and Zones</source>
        <translation>Assets and Zones</translation>
    </message>
    <message id="285">
        <source>Zones</source>
        <translation>Zones</translation>
    </message>
    <message id="286">
        <source>Assets</source>
        <translation>Assets</translation>
    </message>
    <message id="287">
        <source>The site register opens when the service starts for the first time. Start the service and its zones and assets show here.</source>
        <translation>The site register opens when the service starts for the first time. Start the service and its zones and assets show here.</translation>
    </message>
    <message id="288">
        <source>The site register cannot be opened: %s</source>
        <translation>The site register cannot be opened: %s</translation>
    </message>
    <message id="290">
        <source>Readers</source>
        <translation>Readers</translation>
    </message>
    <message id="291">
        <source>Label</source>
        <translation>Label</translation>
    </message>
    <message id="292">
        <source>Group</source>
        <translation>Group</translation>
    </message>
    <message id="293">
        <source>Note</source>
        <translation>Note</translation>
    </message>
    <message id="294">
        <source>Asset</source>
        <translation>Asset</translation>
    </message>
    <message id="295">
        <source>Add...</source>
        <translation>Add...</translation>
    </message>
    <message id="296">
        <source>Edit...</source>
        <translation>Edit...</translation>
    </message>
    <message id="297">
        <source>Remove</source>
        <translation>Remove</translation>
    </message>
    <message id="298">
        <source>Find</source>
        <translation>Find</translation>
    </message>
    <message id="299">
        <source>Part of a label or group, or a tag ID</source>
        <translation>Part of a label or group, or a tag ID</translation>
    </message>
    <message id="300">
        <source>%s assets</source>
        <translation>%s assets</translation>
    </message>
    <message id="301">
        <source>%s of %s assets</source>
        <translation>%s of %s assets</translation>
    </message>
    <message id="302">
        <source>Import CSV</source>
        <translation>Import CSV</translation>
    </message>
    <message id="303">
        <source>Add and update from a file...</source>
        <translation>Add and update from a file...</translation>
    </message>
    <message id="304">
        <source>Replace the list with a file...</source>
        <translation>Replace the list with a file...</translation>
    </message>
    <message id="305">
        <source>Export CSV...</source>
        <translation>Export CSV...</translation>
    </message>
    <message id="306">
        <source>Import assets</source>
        <translation>Import assets</translation>
    </message>
    <message id="307">
        <source>Export assets</source>
        <translation>Export assets</translation>
    </message>
    <message id="308">
        <source>Replace the asset list with %s? Registered assets the file does not name are removed.</source>
        <translation>Replace the asset list with %s? Registered assets the file does not name are removed.</translation>
    </message>
    <message id="309">
        <source>Importing: %s lines read...</source>
        <translation>Importing: %s lines read...</translation>
    </message>
    <message id="310">
        <source>Exporting: %s lines written...</source>
        <translation>Exporting: %s lines written...</translation>
    </message>
    <message id="311">
        <source>Imported %s: %s added, %s updated, %s removed.</source>
        <translation>Imported %s: %s added, %s updated, %s removed.</translation>
    </message>
    <message id="312">
        <source>The import changed nothing: %s</source>
        <translation>The import changed nothing: %s</translation>
    </message>
    <message id="313">
        <source>%s assets exported to %s</source>
        <translation>%s assets exported to %s</translation>
    </message>
    <message id="314">
        <source>The import was cancelled; nothing was changed.</source>
        <translation>The import was cancelled; nothing was changed.</translation>
    </message>
    <message id="315">
        <source>The export was cancelled.</source>
        <translation>The export was cancelled.</translation>
    </message>
    <message id="316">
        <source>Add zone</source>
        <translation>Add zone</translation>
    </message>
    <message id="317">
        <source>Edit zone</source>
        <translation>Edit zone</translation>
    </message>
    <message id="318">
        <source>Add asset</source>
        <translation>Add asset</translation>
    </message>
    <message id="319">
        <source>Edit asset</source>
        <translation>Edit asset</translation>
    </message>
    <message id="320">
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message id="321">
        <source>Connected</source>
        <translation>Connected</translation>
    </message>
    <message id="322">
        <source>yes</source>
        <translation>yes</translation>
    </message>
    <message id="323">
        <source>Another reader</source>
        <translation>Another reader</translation>
    </message>
    <message id="324">
        <source>Add</source>
        <translation>Add</translation>
    </message>
    <message id="325">
        <source>A zone named %s exists already.</source>
        <translation>A zone named %s exists already.</translation>
    </message>
    <message id="326">
        <source>Remove zone %s? The tags in it leave it at once.</source>
        <translation>Remove zone %s? The tags in it leave it at once.</translation>
    </message>
    <message id="327">
        <source>Remove asset %s (tag %s)?</source>
        <translation>Remove asset %s (tag %s)?</translation>
    </message>
    <message id="328">
        <source>Tag %s is registered already, as %s. Replace it?</source>
        <translation>Tag %s is registered already, as %s. Replace it?</translation>
    </message>
    <message id="329">
        <source>Zone %s saved.</source>
        <translation>Zone %s saved.</translation>
    </message>
    <message id="330">
        <source>Zone %s removed.</source>
        <translation>Zone %s removed.</translation>
    </message>
    <message id="331">
        <source>Asset %s saved.</source>
        <translation>Asset %s saved.</translation>
    </message>
    <message id="332">
        <source>Asset %s removed.</source>
        <translation>Asset %s removed.</translation>
    </message>
    <message id="333">
        <source>%s (%s)</source>
        <translation>%s (%s)</translation>
    </message>
    <message id="334">
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message id="335">
        <source>Asset</source>
        <translation>Asset</translation>
    </message>
    <message id="336">
        <source>Group</source>
        <translation>Group</translation>
    </message>
    <message id="337">
        <source>No asset in the site register is labelled %s, so there are no rows to show.</source>
        <translation>No asset in the site register is labelled %s, so there are no rows to show.</translation>
    </message>
    <message id="338">
        <source>No asset labelled %s is in the group %s, so there are no rows to show.</source>
        <translation>No asset labelled %s is in the group %s, so there are no rows to show.</translation>
    </message>
    <message id="339">
        <source>No asset in the site register is in the group %s, so there are no rows to show.</source>
        <translation>No asset in the site register is in the group %s, so there are no rows to show.</translation>
    </message>
    <message id="340">
        <source>The Asset and Group filters look labels up in the site register, which opens when the service starts for the first time. Start the service, then search again.</source>
        <translation>The Asset and Group filters look labels up in the site register, which opens when the service starts for the first time. Start the service, then search again.</translation>
    </message>
    <message id="341">
        <source>Device events have no tag: the Asset and Group filters apply to reads, presence and zone events.</source>
        <translation>Device events have no tag: the Asset and Group filters apply to reads, presence and zone events.</translation>
    </message>
    <message id="400">
        <source>Alerts</source>
        <translation>Alerts</translation>
    </message>
    <message id="401">
        <source>Raised</source>
        <translation>Raised</translation>
    </message>
    <message id="402">
        <source>Rule</source>
        <translation>Rule</translation>
    </message>
    <message id="403">
        <source>Rule kind</source>
        <translation>Rule kind</translation>
    </message>
    <message id="404">
        <source>Since</source>
        <translation>Since</translation>
    </message>
    <message id="405">
        <source>Text / note</source>
        <translation>Text / note</translation>
    </message>
    <message id="406">
        <source>By</source>
        <translation>By</translation>
    </message>
</context>
</TS>
