<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_TW">
<context>
    <name></name>
    <message id="102">
        <source>DEVICE：%s</source>
        <translation>設備：%s</translation>
    </message>
    <message id="104">
        <source>Tips</source>
        <translation>提示</translation>
    </message>
    <message id="107">
        <source>Service Setting</source>
        <translation>服務設定</translation>
    </message>
    <message id="108">
        <source>Service Setting</source>
        <translation>服務設定</translation>
    </message>
    <message id="109">
        <source>Device Info</source>
        <translation>設備資訊</translation>
    </message>
    <message id="110">
        <source>Reader Setting</source>
        <translation>讀寫器設定</translation>
    </message>
    <message id="111">
        <source>Device Operation</source>
        <translation>設備操作</translation>
    </message>
    <message id="112">
        <source>ID：%s&#x9;From Device：%s&#x9;Read Time：%s&#xd;&#xa;</source>
        <translation>標籤ID：%s&#x9;來源設備：%s&#x9;讀取時間：%s&#xd;&#xa;</translation>
    </message>
    <message id="113">
        <source>Reader Info:</source>
        <translation>讀寫器資訊:</translation>
    </message>
    <message id="114">
        <source>Ready</source>
        <translation>就緒</translation>
    </message>
    <message id="115">
        <source>No.</source>
        <translation>序號</translation>
    </message>
    <message id="116">
        <source>Device</source>
        <translation>設備</translation>
    </message>
    <message id="117">
        <source>Login Time</source>
        <translation>登入時間</translation>
    </message>
    <message id="118">
        <source>Last Reg Time</source>
        <translation>最後註冊時間</translation>
    </message>
    <message id="119">
        <source>TagCount</source>
        <translation>標籤數</translation>
    </message>
    <message id="120">
        <source>ID</source>
        <translation>標籤ID</translation>
    </message>
    <message id="121">
        <source>No.</source>
        <translation>序號</translation>
    </message>
    <message id="122">
        <source>ID</source>
        <translation>標籤ID</translation>
    </message>
    <message id="123">
        <source>Device</source>
        <translation>設備</translation>
    </message>
    <message id="124">
        <source>Count</source>
        <translation>次數</translation>
    </message>
    <message id="125">
        <source>Last Read Time</source>
        <translation>最後讀取時間</translation>
    </message>
    <message id="126">
        <source>Please config service parameter first!</source>
        <translation>請先設定服務參數！</translation>
    </message>
    <message id="127">
        <source>Failed to start service!</source>
        <translation>啟動服務失敗！</translation>
    </message>
    <message id="128">
        <source>Failed to create parase data thread</source>
        <translation>建立資料解析執行緒失敗</translation>
    </message>
    <message id="129">
        <source>Error</source>
        <translation>錯誤</translation>
    </message>
    <message id="130">
        <source>Are you sure exit？</source>
        <translation>確定要退出嗎？</translation>
    </message>
    <message id="131">
        <source>Exit</source>
        <translation>退出</translation>
    </message>
    <message id="133">
        <source>Please select device first!</source>
        <translation>請先選擇設備！</translation>
    </message>
    <message id="134">
        <source>Are you sure disconnect %s?</source>
        <translation>確定要斷開 %s 嗎？</translation>
    </message>
    <message id="135">
        <source>Notice</source>
        <translation>注意</translation>
    </message>
    <message id="136">
        <source>Disconnect %s</source>
        <translation>已斷開 %s</translation>
    </message>
    <message id="137">
        <source>Export read id record</source>
        <translation>匯出讀取記錄</translation>
    </message>
    <message id="138">
        <source>Failed to open file</source>
        <translation>無法開啟檔案</translation>
    </message>
    <message id="139">
        <source>Index&#x9;ID&#x9;Device&#x9;Read Count&#x9;Last Read Time&#xd;&#xa;</source>
        <translation>序號&#x9;標籤ID&#x9;設備&#x9;讀取次數&#x9;最後讀取時間&#xd;&#xa;</translation>
    </message>
    <message id="141">
        <source>Trelvane</source>
        <translation>Trelvane</translation>
    </message>
    <message id="142">
        <source>System Control</source>
        <translation>系統控制</translation>
    </message>
    <message id="143">
        <source>Start Service</source>
        <translation>啟動服務</translation>
    </message>
    <message id="144">
        <source>Stop Service</source>
        <translation>停止服務</translation>
    </message>
    <message id="145">
        <source>Disconnect Device</source>
        <translation>斷開設備</translation>
    </message>
    <message id="146">
        <source>Refresh ID</source>
        <translation>重新整理ID</translation>
    </message>
    <message id="147">
        <source>Exit System</source>
        <translation>退出系統</translation>
    </message>
    <message id="148">
        <source>System Setting</source>
        <translation>系統設定</translation>
    </message>
    <message id="149">
        <source>Server Setting</source>
        <translation>伺服器設定</translation>
    </message>
    <message id="150">
        <source>Language</source>
        <translation>語言</translation>
    </message>
    <message id="151">
        <source>Chinese(P.R.C)</source>
        <translation>簡體中文</translation>
    </message>
    <message id="152">
        <source>Traditional Chinese</source>
        <translation>繁體中文</translation>
    </message>
    <message id="153">
        <source>English</source>
        <translation>英文</translation>
    </message>
    <message id="154">
        <source>Device Manage</source>
        <translation>設備管理</translation>
    </message>
    <message id="155">
        <source>Device Info</source>
        <translation>設備資訊</translation>
    </message>
    <message id="156">
        <source>Help</source>
        <translation>說明</translation>
    </message>
    <message id="157">
        <source>About</source>
        <translation>關於</translation>
    </message>
    <message id="200">
        <source>Failed to set!</source>
        <translation>設定失敗！</translation>
    </message>
    <message id="201">
        <source>Failed to send query CMD!</source>
        <translation>發送查詢命令失敗！</translation>
    </message>
    <message id="202">
        <source>Failed to send set CMD!</source>
        <translation>發送設定命令失敗！</translation>
    </message>
    <message id="203">
        <source>Success to set device info!</source>
        <translation>設定設備資訊成功！</translation>
    </message>
    <message id="204">
        <source>Failed to set device info!</source>
        <translation>設定設備資訊失敗！</translation>
    </message>
    <message id="205">
        <source>Failed to query device info!</source>
        <translation>查詢設備資訊失敗！</translation>
    </message>
    <message id="206">
        <source>Device %s is reading... Please stop first!</source>
        <translation>設備 %s 正在讀取……請先停止！</translation>
    </message>
    <message id="207">
        <source>There is no local ip address!</source>
        <translation>沒有本機IP位址！</translation>
    </message>
    <message id="208">
        <source>Set Success</source>
        <translation>設定成功</translation>
    </message>
    <message id="209">
        <source>there is no winsock DLL to use</source>
        <translation>沒有可用的 winsock DLL</translation>
    </message>
    <message id="210">
        <source>there is not right winsock DLL </source>
        <translation>winsock DLL 版本不正確 </translation>
    </message>
    <message id="211">
        <source>About Trelvane</source>
        <translation>關於 Trelvane</translation>
    </message>
    <message id="212">
        <source>Trelvane 1.9.0</source>
        <translation>Trelvane 1.9.0</translation>
    </message>
    <message id="213">
        <source>获取本机IP地址错误!!!</source>
        <translation>取得本機IP位址錯誤!!!</translation>
    </message>
    <message id="214">
        <source>文本文档(*.txt)</source>
        <translation>文字文件(*.txt)</translation>
    </message>
    <message id="215">
        <source>Microsoft Office Excel(*.xls)</source>
        <translation>Microsoft Office Excel(*.xls)</translation>
    </message>
    <message id="216">
        <source>All Files(*.*)</source>
        <translation>所有檔案(*.*)</translation>
    </message>
    <message id="32771">
        <source>Start Service&#xa;Start Service</source>
        <translation>啟動服務&#xa;啟動服務</translation>
    </message>
    <message id="32772">
        <source>Stop Service&#xa;Stop Service</source>
        <translation>停止服務&#xa;停止服務</translation>
    </message>
    <message id="32773">
        <source>Disconnect Device&#xa;Disconnect DTU</source>
        <translation>斷開設備&#xa;斷開DTU</translation>
    </message>
    <message id="32774">
        <source>Refresh ID&#xa;Refresh Id</source>
        <translation>重新整理ID&#xa;重新整理ID</translation>
    </message>
    <message id="32776">
        <source>Exit System&#xa;Exit</source>
        <translation>退出系統&#xa;退出</translation>
    </message>
    <message id="32777">
        <source>Device Info&#xa;Device Info</source>
        <translation>設備資訊&#xa;設備資訊</translation>
    </message>
    <message id="32778">
        <source>Server Setting&#xa;Service Config</source>
        <translation>伺服器設定&#xa;服務設定</translation>
    </message>
    <message id="32780">
        <source>About&#xa;About</source>
        <translation>關於&#xa;關於</translation>
    </message>
    <message id="32800">
        <source>History&#xa;History of reads</source>
        <translation>歷史記錄&#xa;讀取歷史記錄</translation>
    </message>
    <message id="59141">
        <source>Service Started</source>
        <translation>服務已啟動</translation>
    </message>
    <message id="59142">
        <source>Service Stoped</source>
        <translation>服務已停止</translation>
    </message>
    <message id="59143">
        <source>Status:</source>
        <translation>狀態:</translation>
    </message>
    <message id="61714">
        <source>请输入一个在 %1 和 %2 之间的整数。</source>
        <translation>請輸入一個在 %1 和 %2 之間的整數。</translation>
    </message>
    <message id="61719">
        <source>请输入一个正整数。</source>
        <translation>請輸入一個正整數。</translation>
    </message>
    <message id="220">
        <source>The history is not kept: %s</source>
        <translation>未保存歷史記錄：%s</translation>
    </message>
    <message id="230">
        <source>History...</source>
        <translation>歷史記錄...</translation>
    </message>
    <message id="231">
        <source>History</source>
        <translation>歷史記錄</translation>
    </message>
    <message id="232">
        <source>From</source>
        <translation>從</translation>
    </message>
    <message id="233">
        <source>To</source>
        <translation>到</translation>
    </message>
    <message id="234">
        <source>Range</source>
        <translation>範圍</translation>
    </message>
    <message id="235">
        <source>Custom</source>
        <translation>自訂</translation>
    </message>
    <message id="236">
        <source>Last hour</source>
        <translation>最近一小時</translation>
    </message>
    <message id="237">
        <source>Today</source>
        <translation>今天</translation>
    </message>
    <message id="238">
        <source>Yesterday</source>
        <translation>昨天</translation>
    </message>
    <message id="239">
        <source>Everything</source>
        <translation>全部</translation>
    </message>
    <message id="240">
        <source>Tag ID</source>
        <translation>標籤ID</translation>
    </message>
    <message id="241">
        <source>Reader</source>
        <translation>讀寫器</translation>
    </message>
    <message id="242">
        <source>Kind</source>
        <translation>類型</translation>
    </message>
    <message id="243">
        <source>Reads</source>
        <translation>讀取記錄</translation>
    </message>
    <message id="244">
        <source>Presence</source>
        <translation>到離記錄</translation>
    </message>
    <message id="245">
        <source>Device events</source>
        <translation>設備事件</translation>
    </message>
    <message id="246">
        <source>Search</source>
        <translation>查詢</translation>
    </message>
    <message id="247">
        <source>Export CSV...</source>
        <translation>匯出CSV...</translation>
    </message>
    <message id="248">
        <source>Events</source>
        <translation>事件</translation>
    </message>
    <message id="249">
        <source>Presence per tag</source>
        <translation>標籤停留</translation>
    </message>
    <message id="250">
        <source>%s rows so far...</source>
        <translation>已找到 %s 筆...</translation>
    </message>
    <message id="251">
        <source>%s rows</source>
        <translation>共 %s 筆</translation>
    </message>
    <message id="252">
        <source>%s visits</source>
        <translation>共 %s 次停留</translation>
    </message>
    <message id="253">
        <source>%s visits (the first of the range; narrow it to see the rest)</source>
        <translation>%s 次停留（僅範圍內最早的部分，請縮小範圍）</translation>
    </message>
    <message id="254">
        <source>The history is off: [History] Enabled=0 in %s.</source>
        <translation>歷史記錄已關閉：%s 中 [History] Enabled=0。</translation>
    </message>
    <message id="255">
        <source>There is no history yet: %s does not exist. The service makes it when it starts with the history on.</source>
        <translation>尚無歷史記錄：%s 不存在。服務在開啟歷史記錄時啟動後會建立它。</translation>
    </message>
    <message id="256">
        <source>The history is locked by another process: %s. Try again when it is free.</source>
        <translation>歷史記錄被其他程序鎖定：%s。請稍後再試。</translation>
    </message>
    <message id="257">
        <source>The history cannot be read: %s</source>
        <translation>無法讀取歷史記錄：%s</translation>
    </message>
    <message id="258">
        <source>No settings file: %s cannot be read.</source>
        <translation>沒有設定檔：無法讀取 %s。</translation>
    </message>
    <message id="259">
        <source>The tag ID is a decimal number from 0 to 4294967295.</source>
        <translation>標籤ID是 0 到 4294967295 之間的十進位數字。</translation>
    </message>
    <message id="260">
        <source>The end of the range is not after its start.</source>
        <translation>範圍的結束時間不在開始時間之後。</translation>
    </message>
    <message id="261">
        <source>Export history</source>
        <translation>匯出歷史記錄</translation>
    </message>
    <message id="262">
        <source>CSV files (*.csv)</source>
        <translation>CSV檔案 (*.csv)</translation>
    </message>
    <message id="263">
        <source>Exporting %s rows...</source>
        <translation>正在匯出 %s 筆...</translation>
    </message>
    <message id="264">
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message id="265">
        <source>The export failed: %s</source>
        <translation>匯出失敗：%s</translation>
    </message>
    <message id="266">
        <source>%s rows exported to %s</source>
        <translation>已匯出 %s 筆到 %s</translation>
    </message>
    <message id="267">
        <source>Seq</source>
        <translation>序號</translation>
    </message>
    <message id="268">
        <source>Time</source>
        <translation>時間</translation>
    </message>
    <message id="269">
        <source>Tag</source>
        <translation>標籤</translation>
    </message>
    <message id="270">
        <source>Reader</source>
        <translation>讀寫器</translation>
    </message>
    <message id="271">
        <source>Device</source>
        <translation>設備</translation>
    </message>
    <message id="272">
        <source>Reader time</source>
        <translation>讀寫器時間</translation>
    </message>
    <message id="273">
        <source>Event</source>
        <translation>事件</translation>
    </message>
    <message id="274">
        <source>Arrive</source>
        <translation>到達</translation>
    </message>
    <message id="275">
        <source>Depart</source>
        <translation>離開</translation>
    </message>
    <message id="276">
        <source>Dwell</source>
        <translation>停留</translation>
    </message>
    <message id="277">
        <source>Tag reads per second, last five minutes</source>
        <translation>每秒讀取次數，最近五分鐘</translation>
    </message>
    <message id="278">
        <source>%s visits so far...</source>
        <translation>已找到 %s 次停留...</translation>
    </message>
    <message id="279">
        <source>Zone events</source>
        <translation>區域事件</translation>
    </message>
    <message id="280">
        <source>Zone</source>
        <translation>區域</translation>
    </message>
    <message id="281">
        <source>Since</source>
        <translation>進入時間</translation>
    </message>
    <message id="282">
        <source>Last seen</source>
        <translation>最後讀取</translation>
    </message>
    <message id="283">
        <source>Assets and Zones...</source>
        <translation>資產與區域...</translation>
    </message>
    <message id="284">
        <source>Assets and Zones</source>
        <translation>資產與區域</translation>
    </message>
    <message id="285">
        <source>Zones</source>
        <translation>區域</translation>
    </message>
    <message id="286">
        <source>Assets</source>
        <translation>資產</translation>
    </message>
    <message id="287">
        <source>The site register opens when the service starts for the first time. Start the service and its zones and assets show here.</source>
        <translation>站點登記簿在服務第一次啟動時開啟。啟動服務後，區域與資產會顯示在這裡。</translation>
    </message>
    <message id="288">
        <source>The site register cannot be opened: %s</source>
        <translation>無法開啟站點登記簿：%s</translation>
    </message>
    <message id="290">
        <source>Readers</source>
        <translation>讀寫器</translation>
    </message>
    <message id="291">
        <source>Label</source>
        <translation>名稱</translation>
    </message>
    <message id="292">
        <source>Group</source>
        <translation>群組</translation>
    </message>
    <message id="293">
        <source>Note</source>
        <translation>備註</translation>
    </message>
    <message id="294">
        <source>Asset</source>
        <translation>資產</translation>
    </message>
    <message id="295">
        <source>Add...</source>
        <translation>新增...</translation>
    </message>
    <message id="296">
        <source>Edit...</source>
        <translation>編輯...</translation>
    </message>
    <message id="297">
        <source>Remove</source>
        <translation>刪除</translation>
    </message>
    <message id="298">
        <source>Find</source>
        <translation>尋找</translation>
    </message>
    <message id="299">
        <source>Part of a label or group, or a tag ID</source>
        <translation>名稱或群組的一部分，或標籤ID</translation>
    </message>
    <message id="300">
        <source>%s assets</source>
        <translation>共 %s 項資產</translation>
    </message>
    <message id="301">
        <source>%s of %s assets</source>
        <translation>%s 項符合，共 %s 項資產</translation>
    </message>
    <message id="302">
        <source>Import CSV</source>
        <translation>匯入CSV</translation>
    </message>
    <message id="303">
        <source>Add and update from a file...</source>
        <translation>從檔案新增與更新...</translation>
    </message>
    <message id="304">
        <source>Replace the list with a file...</source>
        <translation>以檔案取代整個清單...</translation>
    </message>
    <message id="305">
        <source>Export CSV...</source>
        <translation>匯出CSV...</translation>
    </message>
    <message id="306">
        <source>Import assets</source>
        <translation>匯入資產</translation>
    </message>
    <message id="307">
        <source>Export assets</source>
        <translation>匯出資產</translation>
    </message>
    <message id="308">
        <source>Replace the asset list with %s? Registered assets the file does not name are removed.</source>
        <translation>以 %s 取代資產清單嗎？檔案中沒有的已登記資產將被刪除。</translation>
    </message>
    <message id="309">
        <source>Importing: %s lines read...</source>
        <translation>正在匯入：已讀取 %s 行...</translation>
    </message>
    <message id="310">
        <source>Exporting: %s lines written...</source>
        <translation>正在匯出：已寫入 %s 行...</translation>
    </message>
    <message id="311">
        <source>Imported %s: %s added, %s updated, %s removed.</source>
        <translation>已匯入 %s：新增 %s 項，更新 %s 項，刪除 %s 項。</translation>
    </message>
    <message id="312">
        <source>The import changed nothing: %s</source>
        <translation>匯入未變更任何資料：%s</translation>
    </message>
    <message id="313">
        <source>%s assets exported to %s</source>
        <translation>已匯出 %s 項資產到 %s</translation>
    </message>
    <message id="314">
        <source>The import was cancelled; nothing was changed.</source>
        <translation>匯入已取消，未變更任何資料。</translation>
    </message>
    <message id="315">
        <source>The export was cancelled.</source>
        <translation>匯出已取消。</translation>
    </message>
    <message id="316">
        <source>Add zone</source>
        <translation>新增區域</translation>
    </message>
    <message id="317">
        <source>Edit zone</source>
        <translation>編輯區域</translation>
    </message>
    <message id="318">
        <source>Add asset</source>
        <translation>新增資產</translation>
    </message>
    <message id="319">
        <source>Edit asset</source>
        <translation>編輯資產</translation>
    </message>
    <message id="320">
        <source>Name</source>
        <translation>區域名稱</translation>
    </message>
    <message id="321">
        <source>Connected</source>
        <translation>已連線</translation>
    </message>
    <message id="322">
        <source>yes</source>
        <translation>是</translation>
    </message>
    <message id="323">
        <source>Another reader</source>
        <translation>其他讀寫器</translation>
    </message>
    <message id="324">
        <source>Add</source>
        <translation>加入</translation>
    </message>
    <message id="325">
        <source>A zone named %s exists already.</source>
        <translation>已有名為 %s 的區域。</translation>
    </message>
    <message id="326">
        <source>Remove zone %s? The tags in it leave it at once.</source>
        <translation>刪除區域 %s 嗎？其中的標籤會立即離開該區域。</translation>
    </message>
    <message id="327">
        <source>Remove asset %s (tag %s)?</source>
        <translation>刪除資產 %s（標籤 %s）嗎？</translation>
    </message>
    <message id="328">
        <source>Tag %s is registered already, as %s. Replace it?</source>
        <translation>標籤 %s 已登記為 %s。要取代它嗎？</translation>
    </message>
    <message id="329">
        <source>Zone %s saved.</source>
        <translation>已儲存區域 %s。</translation>
    </message>
    <message id="330">
        <source>Zone %s removed.</source>
        <translation>已刪除區域 %s。</translation>
    </message>
    <message id="331">
        <source>Asset %s saved.</source>
        <translation>已儲存資產 %s。</translation>
    </message>
    <message id="332">
        <source>Asset %s removed.</source>
        <translation>已刪除資產 %s。</translation>
    </message>
    <message id="333">
        <source>%s (%s)</source>
        <translation>%s（%s）</translation>
    </message>
    <message id="334">
        <source>OK</source>
        <translation>確定</translation>
    </message>
    <message id="335">
        <source>Asset</source>
        <translation>資產</translation>
    </message>
    <message id="336">
        <source>Group</source>
        <translation>群組</translation>
    </message>
    <message id="337">
        <source>No asset in the site register is labelled %s, so there are no rows to show.</source>
        <translation>站點登記簿中沒有名稱為 %s 的資產，因此沒有可顯示的記錄。</translation>
    </message>
    <message id="338">
        <source>No asset labelled %s is in the group %s, so there are no rows to show.</source>
        <translation>沒有名稱為 %s 的資產屬於群組 %s，因此沒有可顯示的記錄。</translation>
    </message>
    <message id="339">
        <source>No asset in the site register is in the group %s, so there are no rows to show.</source>
        <translation>站點登記簿中沒有屬於群組 %s 的資產，因此沒有可顯示的記錄。</translation>
    </message>
    <message id="340">
        <source>The Asset and Group filters look labels up in the site register, which opens when the service starts for the first time. Start the service, then search again.</source>
        <translation>資產與群組篩選會在站點登記簿中查找名稱，而站點登記簿在服務第一次啟動時開啟。請啟動服務後再搜尋。</translation>
    </message>
    <message id="341">
        <source>Device events have no tag: the Asset and Group filters apply to reads, presence and zone events.</source>
        <translation>設備事件沒有標籤：資產與群組篩選只適用於讀取記錄、到離記錄與區域事件。</translation>
    </message>
    <message id="400">
        <source>Alerts</source>
        <translation>警報</translation>
    </message>
    <message id="401">
        <source>Raised</source>
        <translation>觸發序號</translation>
    </message>
    <message id="402">
        <source>Rule</source>
        <translation>規則</translation>
    </message>
    <message id="403">
        <source>Rule kind</source>
        <translation>規則類型</translation>
    </message>
    <message id="404">
        <source>Since</source>
        <translation>開始時間</translation>
    </message>
    <message id="405">
        <source>Text / note</source>
        <translation>內容／備註</translation>
    </message>
    <message id="406">
        <source>By</source>
        <translation>確認人</translation>
    </message>
</context>
</TS>
