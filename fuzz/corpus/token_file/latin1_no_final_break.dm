access_token=téç
data=29/02/2024
hora=23:59:59
ExpiraData=29/02/2024 23:59:59