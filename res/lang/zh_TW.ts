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
</context>
</TS>
